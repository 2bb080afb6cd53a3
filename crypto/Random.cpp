#include "crypto/Random.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on
#else
#include <sys/random.h>

#include <cerrno>
#endif

#include <stdexcept>

#include "crypto/Base64.h"

namespace crypto {

// The operating system's own generator. (libgcrypt's, on Windows, gathers its seed through
// calls into the window system, which start a desktop for a program that has none.)
std::string randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
#ifdef _WIN32
  if (count > 0 && !BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&bytes[0]),
                                                   static_cast<ULONG>(count),
                                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::runtime_error("the system's random number generator failed");
  }
#else
  for (std::size_t done = 0; done < count;) {
    const ssize_t got = getrandom(&bytes[done], count - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("the system's random number generator failed");
    }
    done += static_cast<std::size_t>(got);
  }
#endif
  return bytes;
}

std::string randomText(std::size_t count) { return base64(randomBytes(count), true); }

}  // namespace crypto
