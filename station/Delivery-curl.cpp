// Delivery to URLs through libcurl: sftp:// and ftp:// with an upload under a temporary name and a
// rename, http:// and https:// as PUT.
#include <curl/curl.h>

#include <cstdio>
#include <mutex>

#include "station/Delivery.h"

namespace fs = std::filesystem;

namespace {

enum class Scheme { ftp, sftp, http };

std::string escapePath(const std::string& name) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += HEX[c >> 4];
      out += HEX[c & 15];
    }
  }
  return out;
}

// An easy handle, cleaned up whatever happens.
struct Easy {
  Easy() : handle(curl_easy_init()) {}
  ~Easy() {
    if (handle != nullptr) curl_easy_cleanup(handle);
  }
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;
  CURL* handle;
};

struct Slist {
  ~Slist() { curl_slist_free_all(list); }
  void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
  curl_slist* list = nullptr;
};

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

class UrlTransport : public Transport {
 public:
  UrlTransport(std::string base, Scheme scheme, std::string credentials)
      : base_(std::move(base)), scheme_(scheme), credentials_(std::move(credentials)) {
    if (base_.back() != '/') base_ += '/';
    // The path of the folder on the server, for SFTP's rename: what follows the host.
    const std::string::size_type slash = base_.find('/', base_.find("://") + 3);
    remoteFolder_ = slash == std::string::npos ? "/" : base_.substr(slash);
  }

  Found probe(const std::string& name, const fs::path&, std::uint64_t size,
              std::string& error) override {
    Easy easy;
    prepare(easy, base_ + escapePath(name));
    curl_easy_setopt(easy.handle, CURLOPT_NOBODY, 1L);
    // A file that isn't there is no failure of the destination.
    if (scheme_ == Scheme::http) curl_easy_setopt(easy.handle, CURLOPT_FAILONERROR, 0L);
    const CURLcode code = curl_easy_perform(easy.handle);
    long status = 0;
    curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &status);
    if (code == CURLE_REMOTE_FILE_NOT_FOUND || (code == CURLE_FTP_COULDNT_RETR_FILE) ||
        (scheme_ == Scheme::ftp && code != CURLE_OK && status == 550) ||
        (scheme_ == Scheme::http && code == CURLE_OK && status == 404)) {
      return Found::absent;
    }
    if (code != CURLE_OK || (scheme_ == Scheme::http && status >= 400)) {
      error = describe(code, status);
      return Found::unknown;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(easy.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length >= 0 && static_cast<std::uint64_t>(length) == size ? Found::same
                                                                     : Found::different;
  }

  bool put(const fs::path& local, const std::string& name, std::uint64_t size,
           std::string& error) override {
    std::FILE* file = std::fopen(local.u8string().c_str(), "rb");
    if (file == nullptr) {
      error = "cannot read " + local.u8string();
      return false;
    }
    const bool renames = scheme_ != Scheme::http;
    const std::string temporary = renames ? "." + name + ".part" : name;
    Easy easy;
    prepare(easy, base_ + escapePath(temporary));
    curl_easy_setopt(easy.handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_READDATA, file);
    curl_easy_setopt(easy.handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    Slist after;
    if (scheme_ == Scheme::ftp) {
      after.add("RNFR " + temporary);
      after.add("RNTO " + name);
    } else if (scheme_ == Scheme::sftp) {
      after.add("rename \"" + remoteFolder_ + temporary + "\" \"" + remoteFolder_ + name + "\"");
    }
    if (after.list != nullptr) curl_easy_setopt(easy.handle, CURLOPT_POSTQUOTE, after.list);
    const CURLcode code = curl_easy_perform(easy.handle);
    std::fclose(file);
    long status = 0;
    curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t sent = 0;
    curl_easy_getinfo(easy.handle, CURLINFO_SIZE_UPLOAD_T, &sent);
    if (code != CURLE_OK || (scheme_ == Scheme::http && (status < 200 || status > 299))) {
      error = describe(code, status);
      if (renames) removeQuietly(temporary);
      return false;
    }
    if (static_cast<std::uint64_t>(sent) != size) {
      error = "only " + std::to_string(sent) + " of " + std::to_string(size) + " bytes went";
      return false;
    }
    // Checked by size where the server tells it.
    if (scheme_ != Scheme::http) {
      std::string why;
      if (probe(name, local, size, why) != Found::same) {
        error = "the delivered " + name + " has not its size on the server" +
                (why.empty() ? "" : ": " + why);
        return false;
      }
    }
    return true;
  }

  std::string shown() const override { return base_; }

 private:
  void prepare(Easy& easy, const std::string& url) const {
    curl_easy_setopt(easy.handle, CURLOPT_URL, url.c_str());
    if (!credentials_.empty()) curl_easy_setopt(easy.handle, CURLOPT_USERPWD, credentials_.c_str());
    curl_easy_setopt(easy.handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_CONNECTTIMEOUT, 10L);
    // A transfer that stalls for half a minute is given up and tried again later.
    curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, discard);
    if (scheme_ == Scheme::http) curl_easy_setopt(easy.handle, CURLOPT_FAILONERROR, 1L);
  }

  void removeQuietly(const std::string& name) const {
    Easy easy;
    prepare(easy, base_);
    curl_easy_setopt(easy.handle, CURLOPT_NOBODY, 1L);
    Slist commands;
    commands.add(scheme_ == Scheme::ftp ? "DELE " + name : "rm \"" + remoteFolder_ + name + "\"");
    curl_easy_setopt(easy.handle, CURLOPT_QUOTE, commands.list);
    curl_easy_perform(easy.handle);
  }

  // libcurl's words for what went wrong; they never hold the credentials.
  std::string describe(CURLcode code, long status) const {
    std::string text = curl_easy_strerror(code);
    if (status != 0) text += " (server answered " + std::to_string(status) + ")";
    return text;
  }

  std::string base_;
  Scheme scheme_;
  std::string credentials_;
  std::string remoteFolder_;
};

}  // namespace

std::unique_ptr<Transport> makeUrlTransport(const std::string& url, const std::string& credentials,
                                            std::string& error) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  const std::string scheme = url.substr(0, url.find("://"));
  Scheme kind;
  if (scheme == "ftp") {
    kind = Scheme::ftp;
  } else if (scheme == "sftp") {
    kind = Scheme::sftp;
  } else if (scheme == "http" || scheme == "https") {
    kind = Scheme::http;
  } else {
    error = "cannot deliver to " + scheme + "://: only sftp://, ftp://, http:// and https://";
    return nullptr;
  }
  return std::make_unique<UrlTransport>(url, kind, credentials);
}
