#include "crypto/PasswordHash.h"

#include <gcrypt.h>

#include <cstdio>
#include <stdexcept>

#include "crypto/Base64.h"
#include "crypto/Library.h"
#include "crypto/Random.h"

namespace crypto {

namespace {

constexpr std::size_t SALT_BYTES = 16;
constexpr std::size_t TAG_BYTES = 32;

}  // namespace

std::string argon2id(std::string_view password, std::string_view salt, std::string_view secret,
                     std::string_view data, const Argon2Cost& cost, std::size_t tagBytes) {
  initialize();
  const unsigned long params[4] = {static_cast<unsigned long>(tagBytes), cost.passes,
                                   cost.memoryKiB, cost.lanes};
  gcry_kdf_hd_t handle = nullptr;
  if (gcry_kdf_open(&handle, GCRY_KDF_ARGON2, GCRY_KDF_ARGON2ID, params, 4, password.data(),
                    password.size(), salt.data(), salt.size(),
                    secret.empty() ? nullptr : secret.data(), secret.size(),
                    data.empty() ? nullptr : data.data(), data.size()) != 0) {
    throw std::runtime_error("libgcrypt cannot compute Argon2id");
  }
  std::string tag(tagBytes, '\0');
  const bool done =
      gcry_kdf_compute(handle, nullptr) == 0 && gcry_kdf_final(handle, tag.size(), tag.data()) == 0;
  gcry_kdf_close(handle);
  if (!done) throw std::runtime_error("libgcrypt failed to compute Argon2id");
  return tag;
}

std::string hashPassword(std::string_view password, const Argon2Cost& cost) {
  const std::string salt = randomBytes(SALT_BYTES);
  const std::string tag = argon2id(password, salt, "", "", cost, TAG_BYTES);
  char head[96];
  std::snprintf(head, sizeof head, "$argon2id$v=19$m=%lu,t=%lu,p=%lu$", cost.memoryKiB, cost.passes,
                cost.lanes);
  return head + base64(salt, true) + "$" + base64(tag, true);
}

bool verifyPassword(std::string_view password, const std::string& stored) {
  Argon2Cost cost;
  char saltText[128] = "", tagText[128] = "";
  // $argon2id$v=19$m=M,t=T,p=P$SALT$TAG
  if (stored.size() > 200 ||
      std::sscanf(stored.c_str(), "$argon2id$v=19$m=%lu,t=%lu,p=%lu$%127[^$]$%127s",
                  &cost.memoryKiB, &cost.passes, &cost.lanes, saltText, tagText) != 5) {
    return false;
  }
  // Costs beyond what a station would ever set are no hash of ours (nor a reason to run out of
  // memory).
  if (cost.memoryKiB < 8 || cost.memoryKiB > (1ul << 21) || cost.passes < 1 || cost.passes > 64 ||
      cost.lanes < 1 || cost.lanes > 16) {
    return false;
  }
  const std::optional<std::string> salt = fromBase64(saltText);
  const std::optional<std::string> tag = fromBase64(tagText);
  if (!salt || !tag || tag->size() < 16 || tag->size() > 64) return false;
  return sameSecret(argon2id(password, *salt, "", "", cost, tag->size()), *tag);
}

bool sameSecret(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

}  // namespace crypto
