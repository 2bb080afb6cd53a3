#include "crypto/Library.h"

#include <gcrypt.h>

#include <mutex>

namespace crypto {

void initialize() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Any version that knows every algorithm used here.
    gcry_check_version("1.8.0");
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

}  // namespace crypto
