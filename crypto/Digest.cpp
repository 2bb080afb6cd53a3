#include "crypto/Digest.h"

#include <gcrypt.h>

#include <fstream>
#include <vector>

#include "crypto/Library.h"

namespace crypto {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += DIGITS[bytes[i] >> 4];
    out += DIGITS[bytes[i] & 15];
  }
  return out;
}

}  // namespace

std::string sha256File(const std::filesystem::path& file, std::string& error) {
  initialize();
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file.u8string();
    return "";
  }
  gcry_md_hd_t digest = nullptr;
  if (gcry_md_open(&digest, GCRY_MD_SHA256, 0) != 0) {
    error = "libgcrypt has no SHA-256";
    return "";
  }
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    gcry_md_write(digest, buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  std::string out;
  if (in.bad()) {
    error = "cannot read " + file.u8string() + " to its end";
  } else {
    out = hex(gcry_md_read(digest, GCRY_MD_SHA256), gcry_md_get_algo_dlen(GCRY_MD_SHA256));
  }
  gcry_md_close(digest);
  return out;
}

std::string sha256(std::string_view bytes) {
  initialize();
  unsigned char out[32];
  gcry_md_hash_buffer(GCRY_MD_SHA256, out, bytes.data(), bytes.size());
  return hex(out, sizeof out);
}

}  // namespace crypto
