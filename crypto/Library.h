// libgcrypt's set-up, done once before its first use by any of this folder's units.
#ifndef ATE_CRYPTO_LIBRARY_H_
#define ATE_CRYPTO_LIBRARY_H_

namespace crypto {

// Thread-safe; the first call initialises the library, the others wait for that.
void initialize();

}  // namespace crypto

#endif  // ATE_CRYPTO_LIBRARY_H_
