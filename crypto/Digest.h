// SHA-256 digests through libgcrypt, as lowercase hex: of a file (a lot's test program, a
// release's files) or of bytes in memory.
#ifndef ATE_CRYPTO_DIGEST_H_
#define ATE_CRYPTO_DIGEST_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace crypto {

// The SHA-256 of the file's bytes; empty, with error saying why, when it can't be read.
std::string sha256File(const std::filesystem::path& file, std::string& error);

std::string sha256(std::string_view bytes);

}  // namespace crypto

#endif  // ATE_CRYPTO_DIGEST_H_
