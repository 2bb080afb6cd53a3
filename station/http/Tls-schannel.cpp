// TLS for our own server through SChannel, Windows' own: the certificate (with its chain) and its
// RSA key read from PEM files, the key put into a key container of the station's own for SChannel
// to use (removed again when the server ends), TLS 1.2 and later only.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
// clang-format on

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "station/http/Channel.h"

namespace http {

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD ACCEPT_FLAGS = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                               ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
// Everything before TLS 1.2, both ways.
constexpr DWORD OLD_PROTOCOLS = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;

std::string hex(long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

using Bytes = std::vector<BYTE>;

// The blocks of a PEM text, each with its label ("CERTIFICATE", "PRIVATE KEY") and its bytes.
struct PemBlock {
  std::string label;
  Bytes der;
};
std::vector<PemBlock> pemBlocks(const std::string& text) {
  std::vector<PemBlock> blocks;
  const std::string begin = "-----BEGIN ", end = "-----END ";
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
    const std::size_t labelEnd = text.find("-----", at + begin.size());
    if (labelEnd == std::string::npos) break;
    PemBlock block;
    block.label = text.substr(at + begin.size(), labelEnd - at - begin.size());
    const std::size_t body = labelEnd + 5;
    const std::size_t stop = text.find(end + block.label + "-----", body);
    if (stop == std::string::npos) break;
    const std::string base64 = text.substr(body, stop - body);
    DWORD size = 0;
    if (CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                             nullptr, &size, nullptr, nullptr)) {
      block.der.resize(size);
      if (CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                               CRYPT_STRING_BASE64, block.der.data(), &size, nullptr, nullptr)) {
        block.der.resize(size);
        blocks.push_back(std::move(block));
      }
    }
    at = stop + end.size();
  }
  return blocks;
}

// One DER element at data[at..end): its tag and where its content lies; false when it doesn't
// fit. Enough to find the RSA key inside a PKCS#8 PrivateKeyInfo.
bool derElement(const Bytes& data, std::size_t& at, std::size_t end, BYTE& tag,
                std::size_t& content, std::size_t& length) {
  if (at + 2 > end) return false;
  tag = data[at];
  std::size_t size = data[at + 1];
  std::size_t next = at + 2;
  if (size & 0x80) {
    const std::size_t bytes = size & 0x7f;
    if (bytes == 0 || bytes > 4 || next + bytes > end) return false;
    size = 0;
    for (std::size_t i = 0; i < bytes; ++i) size = size << 8 | data[next++];
  }
  if (size > end - next) return false;
  content = next;
  length = size;
  at = next + size;
  return true;
}

// The PKCS#1 RSAPrivateKey inside a PKCS#8 PrivateKeyInfo (SEQUENCE { version, SEQUENCE {
// algorithm, parameters }, OCTET STRING key }); false for anything but an RSA key.
bool rsaKeyOfPkcs8(const Bytes& info, Bytes& key) {
  static const BYTE RSA_ENCRYPTION[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
  std::size_t at = 0, content = 0, length = 0;
  BYTE tag = 0;
  if (!derElement(info, at, info.size(), tag, content, length) || tag != 0x30) return false;
  const std::size_t end = content + length;
  at = content;
  if (!derElement(info, at, end, tag, content, length) || tag != 0x02) return false;
  std::size_t algorithm = 0, algorithmLength = 0;
  if (!derElement(info, at, end, tag, algorithm, algorithmLength) || tag != 0x30) return false;
  std::size_t inner = algorithm, oid = 0, oidLength = 0;
  if (!derElement(info, inner, algorithm + algorithmLength, tag, oid, oidLength) || tag != 0x06 ||
      oidLength != sizeof RSA_ENCRYPTION ||
      std::memcmp(info.data() + oid, RSA_ENCRYPTION, oidLength) != 0) {
    return false;
  }
  if (!derElement(info, at, end, tag, content, length) || tag != 0x04) return false;
  key.assign(info.begin() + static_cast<std::ptrdiff_t>(content),
             info.begin() + static_cast<std::ptrdiff_t>(content + length));
  return true;
}

void wipe(Bytes& secret) {
  if (!secret.empty()) SecureZeroMemory(secret.data(), secret.size());
  secret.clear();
}

bool readFile(const std::string& what, const std::string& path, std::string& text,
              std::string& error) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) {
    error = "cannot read the " + what + " " + path;
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// One connection's TLS: the handshake, then records decrypted and encrypted in place.
class SchannelChannel final : public Channel {
 public:
  SchannelChannel(const Socket& socket, CredHandle* credentials)
      : socket_(socket), credentials_(credentials) {}
  ~SchannelChannel() override {
    if (haveContext_) DeleteSecurityContext(&context_);
  }

  bool open(std::chrono::steady_clock::duration wait, const std::atomic<bool>& stopping) override {
    for (SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;;) {
      if (received_.empty() || status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!socket_.receiveSome(received_, wait, stopping)) return false;
      }
      status = accept();
      if (status == SEC_E_OK) break;
      if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE) return false;
    }
    return QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) == SEC_E_OK;
  }

  bool receiveSome(std::string& buffer, std::chrono::steady_clock::duration wait,
                   const std::atomic<bool>& stopping) override {
    for (;;) {
      if (!received_.empty()) {
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(received_.size()), SECBUFFER_DATA, &received_[0]},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
        if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE) {
          std::size_t plain = 0;
          std::string extra;
          for (const SecBuffer& part : buffers) {
            if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
              buffer.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
              plain += part.cbBuffer;
            } else if (part.BufferType == SECBUFFER_EXTRA) {
              extra.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
            }
          }
          received_ = std::move(extra);
          // A handshake message after the handshake (TLS 1.3's key update, say): answered as the
          // handshake's were, from what it brought.
          if (status == SEC_I_RENEGOTIATE) {
            SECURITY_STATUS again;
            do {
              again = accept();
              if (again == SEC_E_INCOMPLETE_MESSAGE &&
                  !socket_.receiveSome(received_, wait, stopping)) {
                return false;
              }
            } while (again == SEC_I_CONTINUE_NEEDED || again == SEC_E_INCOMPLETE_MESSAGE);
            if (again != SEC_E_OK) return false;
          }
          if (plain > 0) return true;
          continue;
        }
        // SEC_I_CONTEXT_EXPIRED: the peer said goodbye.
        if (status != SEC_E_INCOMPLETE_MESSAGE) return false;
      }
      if (!socket_.receiveSome(received_, wait, stopping)) return false;
    }
  }

  bool sendAll(const std::string& text) override {
    std::string record;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t size = std::min<std::size_t>(text.size() - at, sizes_.cbMaximumMessage);
      record.assign(sizes_.cbHeader + size + sizes_.cbTrailer, '\0');
      std::memcpy(&record[sizes_.cbHeader], text.data() + at, size);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
          {static_cast<unsigned long>(size), SECBUFFER_DATA, &record[sizes_.cbHeader]},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes_.cbHeader + size]},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) return false;
      record.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      if (!socket_.sendAll(record)) return false;
      at += size;
    }
    return true;
  }

  void close() override {
    if (!haveContext_) return;
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &description) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        AcceptSecurityContext(credentials_, &context_, nullptr, ACCEPT_FLAGS, 0, &context_,
                              &outDescription, &attributes, nullptr);
    if ((status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) && out.pvBuffer != nullptr) {
      socket_.sendAll(std::string(static_cast<const char*>(out.pvBuffer), out.cbBuffer));
    }
    if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
  }

 private:
  // One step of the handshake with what was received: its answer sent, what it used dropped.
  SECURITY_STATUS accept() {
    SecBuffer in[2] = {
        {static_cast<unsigned long>(received_.size()), SECBUFFER_TOKEN, &received_[0]},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        AcceptSecurityContext(credentials_, haveContext_ ? &context_ : nullptr, &inDescription,
                              ACCEPT_FLAGS, 0, &context_, &outDescription, &attributes, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    haveContext_ = haveContext_ || status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
    // The answer goes out on failure too: it is the alert that tells the client why.
    for (SecBuffer& part : out) {
      if (part.pvBuffer == nullptr) continue;
      if (part.BufferType == SECBUFFER_TOKEN && part.cbBuffer > 0) {
        socket_.sendAll(std::string(static_cast<const char*>(part.pvBuffer), part.cbBuffer));
      }
      FreeContextBuffer(part.pvBuffer);
    }
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      received_.erase(0, received_.size() - in[1].cbBuffer);
    } else {
      received_.clear();
    }
    return status;
  }

  const Socket& socket_;
  CredHandle* credentials_;
  CtxtHandle context_{};
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::string received_;  // from the peer, not yet taken in
};

// The certificate and key loaded once; credentials every connection shares.
class SchannelContext final : public TlsServerContext {
 public:
  ~SchannelContext() override {
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
    if (leaf_ != nullptr) CertFreeCertificateContext(leaf_);
    if (store_ != nullptr) CertCloseStore(store_, 0);
    removeContainer();
  }

  bool load(const Tls& tls, std::string& error) {
    std::string certificates, key;
    if (!readFile("certificate", tls.certificateFile, certificates, error)) return false;
    if (!readFile("key", tls.keyFile, key, error)) return false;
    if (!loadCertificates(tls.certificateFile, certificates, error)) return false;
    // The container's name is the key file's, so a station that crashed leaves no more than one
    // behind, which the next start replaces.
    container_ = L"ate-station-tls-" +
                 std::to_wstring(std::hash<std::string>()(
                     std::filesystem::absolute(std::filesystem::u8path(tls.keyFile)).u8string()));
    std::vector<PemBlock> blocks = pemBlocks(key);
    const bool imported = importKey(tls.keyFile, blocks, error);
    for (PemBlock& block : blocks) wipe(block.der);
    std::fill(key.begin(), key.end(), '\0');
    return imported && acquire(error);
  }

  std::unique_ptr<Channel> channel(const Socket& socket) override {
    return std::make_unique<SchannelChannel>(socket, &credentials_);
  }

 private:
  bool loadCertificates(const std::string& file, const std::string& text, std::string& error) {
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (store_ == nullptr) {
      error = "cannot make a certificate store: " + hex(static_cast<long>(GetLastError()));
      return false;
    }
    for (const PemBlock& block : pemBlocks(text)) {
      if (block.label != "CERTIFICATE") continue;
      if (!CertAddEncodedCertificateToStore(
              store_, X509_ASN_ENCODING, block.der.data(), static_cast<DWORD>(block.der.size()),
              CERT_STORE_ADD_ALWAYS, leaf_ == nullptr ? &leaf_ : nullptr)) {
        error = file + " holds a certificate Windows can't read";
        return false;
      }
    }
    if (leaf_ == nullptr) {
      error = file + " holds no PEM certificate";
      return false;
    }
    return true;
  }

  bool importKey(const std::string& file, const std::vector<PemBlock>& blocks, std::string& error) {
    Bytes rsa;
    for (const PemBlock& block : blocks) {
      if (block.label == "RSA PRIVATE KEY") {
        rsa = block.der;
      } else if (block.label == "PRIVATE KEY" && !rsaKeyOfPkcs8(block.der, rsa)) {
        error = file + ": the Windows build serves TLS with RSA keys only";
        return false;
      } else if (block.label == "EC PRIVATE KEY") {
        error = file + ": the Windows build serves TLS with RSA keys only";
        return false;
      } else if (block.label == "ENCRYPTED PRIVATE KEY") {
        error = file + " is encrypted: give the key unencrypted, readable by the station alone";
        return false;
      }
      if (!rsa.empty()) break;
    }
    if (rsa.empty()) {
      error = file + " holds no PEM private key";
      return false;
    }
    BYTE* blob = nullptr;
    DWORD blobSize = 0;
    const bool decoded = CryptDecodeObjectEx(ENCODING, PKCS_RSA_PRIVATE_KEY, rsa.data(),
                                             static_cast<DWORD>(rsa.size()),
                                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize);
    wipe(rsa);
    if (!decoded) {
      error = file + " holds an RSA key Windows can't read";
      return false;
    }
    reinterpret_cast<BLOBHEADER*>(blob)->aiKeyAlg = CALG_RSA_KEYX;
    removeContainer();
    HCRYPTPROV provider = 0;
    HCRYPTKEY imported = 0;
    bool ok = CryptAcquireContextW(&provider, container_.c_str(), MS_ENH_RSA_AES_PROV_W,
                                   PROV_RSA_AES, CRYPT_NEWKEYSET | CRYPT_SILENT) &&
              CryptImportKey(provider, blob, blobSize, 0, 0, &imported);
    const DWORD failure = GetLastError();
    SecureZeroMemory(blob, blobSize);
    LocalFree(blob);
    if (!ok) {
      error =
          "cannot put the TLS key where SChannel takes it from: " + hex(static_cast<long>(failure));
      if (provider != 0) CryptReleaseContext(provider, 0);
      return false;
    }
    // The key must be the certificate's.
    DWORD infoSize = 0;
    CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, ENCODING, nullptr, &infoSize);
    Bytes info(infoSize);
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    ok = infoSize > 0 &&
         CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, ENCODING, publicKey, &infoSize) &&
         CertComparePublicKeyInfo(ENCODING, &leaf_->pCertInfo->SubjectPublicKeyInfo, publicKey);
    CryptDestroyKey(imported);
    CryptReleaseContext(provider, 0);
    if (!ok) {
      error = "the key " + file + " is not the certificate's";
      return false;
    }
    CRYPT_KEY_PROV_INFO where{};
    where.pwszContainerName = const_cast<LPWSTR>(container_.c_str());
    where.pwszProvName = const_cast<LPWSTR>(MS_ENH_RSA_AES_PROV_W);
    where.dwProvType = PROV_RSA_AES;
    where.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(leaf_, CERT_KEY_PROV_INFO_PROP_ID, 0, &where)) {
      error =
          "cannot tie the TLS key to its certificate: " + hex(static_cast<long>(GetLastError()));
      return false;
    }
    return true;
  }

  // SChannel's credentials: TLS 1.2 and later through the newer structure where Windows has it
  // (1.3 needs it), else TLS 1.2 alone through the older one.
  bool acquire(std::string& error) {
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = OLD_PROTOCOLS;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.cCreds = 1;
    modern.paCred = &leaf_;
    modern.dwFlags = SCH_USE_STRONG_CRYPTO;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W), SECPKG_CRED_INBOUND,
                                  nullptr, &modern, nullptr, nullptr, &credentials_, &expiry);
    if (status != SEC_E_OK) {
      SCHANNEL_CRED older{};
      older.dwVersion = SCHANNEL_CRED_VERSION;
      older.cCreds = 1;
      older.paCred = &leaf_;
      older.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
      older.dwFlags = SCH_USE_STRONG_CRYPTO;
      status =
          AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W), SECPKG_CRED_INBOUND,
                                    nullptr, &older, nullptr, nullptr, &credentials_, &expiry);
    }
    if (status != SEC_E_OK) {
      error = "SChannel refuses the certificate and key: " + hex(status);
      return false;
    }
    haveCredentials_ = true;
    return true;
  }

  void removeContainer() {
    if (container_.empty()) return;
    HCRYPTPROV gone = 0;
    CryptAcquireContextW(&gone, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                         CRYPT_DELETEKEYSET | CRYPT_SILENT);
  }

  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT leaf_ = nullptr;  // the server's own certificate, first in the file
  std::wstring container_;
  CredHandle credentials_{};
  bool haveCredentials_ = false;
};

}  // namespace

std::unique_ptr<TlsServerContext> makeTlsServerContext(const Tls& tls, std::string& error) {
  auto context = std::make_unique<SchannelContext>();
  if (!context->load(tls, error)) return nullptr;
  return context;
}

}  // namespace http
