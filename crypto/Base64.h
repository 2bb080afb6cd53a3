// Base64 (RFC 4648): the standard alphabet with padding, or the URL-safe one without (for
// cookies, tokens and stored hashes).
#ifndef ATE_CRYPTO_BASE64_H_
#define ATE_CRYPTO_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

namespace crypto {

std::string base64(std::string_view bytes, bool urlSafe = false);
// Either alphabet, padding optional; empty when text is not base64.
std::optional<std::string> fromBase64(std::string_view text);

}  // namespace crypto

#endif  // ATE_CRYPTO_BASE64_H_
