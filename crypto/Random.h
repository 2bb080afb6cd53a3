// Random bytes from the operating system's generator (getrandom, BCryptGenRandom): session ids,
// API tokens, salts.
#ifndef ATE_CRYPTO_RANDOM_H_
#define ATE_CRYPTO_RANDOM_H_

#include <cstddef>
#include <string>

namespace crypto {

std::string randomBytes(std::size_t count);

// count random bytes as base64url text without padding (43 characters for 32 bytes).
std::string randomText(std::size_t count);

}  // namespace crypto

#endif  // ATE_CRYPTO_RANDOM_H_
