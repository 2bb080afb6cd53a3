// Passwords as salted, memory-hard hashes: Argon2id through libgcrypt, stored in the PHC string
// form "$argon2id$v=19$m=65536,t=3,p=1$SALT$HASH" (base64 without padding), so that the cost can
// be raised later and old hashes still verify. About 0.15 s a hash on a two-core station.
#ifndef ATE_CRYPTO_PASSWORDHASH_H_
#define ATE_CRYPTO_PASSWORDHASH_H_

#include <string>
#include <string_view>

namespace crypto {

struct Argon2Cost {
  unsigned long memoryKiB = 65536;  // 64 MiB
  unsigned long passes = 3;
  unsigned long lanes = 1;
};

// A new hash of password with a fresh random salt.
std::string hashPassword(std::string_view password, const Argon2Cost& cost = Argon2Cost());

// Whether password is the one stored; false for a stored text that is no hash of ours.
bool verifyPassword(std::string_view password, const std::string& stored);

// The raw Argon2id tag, for tests against the standard's vectors.
std::string argon2id(std::string_view password, std::string_view salt, std::string_view secret,
                     std::string_view data, const Argon2Cost& cost, std::size_t tagBytes);

// Equal without an early exit: the time taken says nothing about where two texts differ.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace crypto

#endif  // ATE_CRYPTO_PASSWORDHASH_H_
