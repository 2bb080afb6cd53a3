#include "crypto/Random.h"

#include <gcrypt.h>

#include "crypto/Base64.h"
#include "crypto/Library.h"

namespace crypto {

std::string randomBytes(std::size_t count) {
  initialize();
  std::string bytes(count, '\0');
  gcry_randomize(bytes.data(), count, GCRY_STRONG_RANDOM);
  return bytes;
}

std::string randomText(std::size_t count) { return base64(randomBytes(count), true); }

}  // namespace crypto
