#include "station/Delivery.h"

#include <algorithm>
#include <fstream>

#include "station/Platform.h"

namespace fs = std::filesystem;

// The URL transport, where the build has libcurl (Delivery-curl.cpp, or Delivery-nocurl.cpp).
std::unique_ptr<Transport> makeUrlTransport(const std::string& url, const std::string& credentials,
                                            std::string& error);

namespace {

const char* const PART_SUFFIX = ".part";

// Whether two files hold the same bytes.
bool sameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream left(a, std::ios::binary);
  std::ifstream right(b, std::ios::binary);
  char x[65536];
  char y[65536];
  while (left && right) {
    left.read(x, sizeof x);
    right.read(y, sizeof y);
    if (left.gcount() != right.gcount() || !std::equal(x, x + left.gcount(), y)) {
      return false;
    }
  }
  return left.eof() && right.eof();
}

class FolderTransport : public Transport {
 public:
  explicit FolderTransport(fs::path folder) : folder_(std::move(folder)) {}

  Found probe(const std::string& name, const fs::path& local, std::uint64_t size,
              std::string& error) override {
    std::error_code failure;
    // A folder that isn't there is a share that isn't mounted: down, never made here.
    if (!fs::is_directory(folder_, failure)) {
      error = "the destination folder " + folder_.u8string() + " is not there";
      return Found::unknown;
    }
    const fs::path target = folder_ / fs::u8path(name);
    if (!fs::exists(target, failure)) return failure ? Found::unknown : Found::absent;
    return fs::file_size(target, failure) == size && !failure && sameBytes(target, local)
               ? Found::same
               : Found::different;
  }

  bool put(const fs::path& local, const std::string& name, std::uint64_t size,
           std::string& error) override {
    const fs::path target = folder_ / fs::u8path(name);
    const fs::path aside = folder_ / fs::u8path("." + name + PART_SUFFIX);
    std::error_code failure;
    fs::copy_file(local, aside, fs::copy_options::overwrite_existing, failure);
    if (!failure && fs::file_size(aside, failure) != size && !failure) {
      error = "the copy in " + folder_.u8string() + " has the wrong size";
      fs::remove(aside, failure);
      return false;
    }
    if (!failure) fs::rename(aside, target, failure);
    if (failure) {
      error = "cannot write to " + folder_.u8string() + ": " + failure.message();
      std::error_code ignored;
      fs::remove(aside, ignored);
      return false;
    }
    if (fs::file_size(target, failure) != size || failure) {
      error = "the delivered " + name + " has the wrong size";
      return false;
    }
    return true;
  }

  std::string shown() const override { return folder_.u8string(); }

 private:
  fs::path folder_;
};

// A name with _2, _3, ... before its extension.
std::string numbered(const std::string& name, int n) {
  const std::string::size_type dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  return stem + "_" + std::to_string(n) + extension;
}

}  // namespace

std::unique_ptr<Transport> makeTransport(const std::string& dest, const std::string& credentials,
                                         std::string& error) {
  const std::string::size_type scheme = dest.find("://");
  if (scheme == std::string::npos) return std::make_unique<FolderTransport>(fs::u8path(dest));
  const std::string::size_type hostStart = scheme + 3;
  const std::string::size_type hostEnd = dest.find('/', hostStart);
  const std::string authority = dest.substr(hostStart, hostEnd - hostStart);
  if (authority.find('@') != std::string::npos) {
    error = "credentials go in the credentials file, not in the destination's URL";
    return nullptr;
  }
  return makeUrlTransport(dest, credentials, error);
}

bool readCredentials(const fs::path& file, std::string& credentials, std::string& error) {
  std::error_code failure;
  if (!fs::is_regular_file(file, failure)) {
    error = "no credentials file at " + file.u8string();
    return false;
  }
  if (!station_platform::ownerOnly(file)) {
    error = "the credentials file " + file.u8string() +
            " may be read by others: make it its owner's alone (chmod 600)";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  std::getline(in, credentials);
  if (!credentials.empty() && credentials.back() == '\r') credentials.pop_back();
  if (credentials.find(':') == std::string::npos) {
    error = "the credentials file " + file.u8string() + " must hold one line \"user:password\"";
    credentials.clear();
    return false;
  }
  return true;
}

Deliverer::Deliverer(DeliveryOptions options, std::unique_ptr<Transport> transport,
                     std::function<void(const std::string&)> log)
    : options_(std::move(options)), transport_(std::move(transport)), log_(std::move(log)) {
  std::error_code failure;
  fs::create_directories(options_.spool, failure);
  thread_ = std::thread(&Deliverer::loop, this);
}

Deliverer::~Deliverer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::vector<std::string> Deliverer::spooled() const {
  std::vector<std::pair<fs::file_time_type, std::string>> found;
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator(options_.spool, failure)) {
    const std::string name = entry.path().filename().u8string();
    // Copies on their way into the spool start with a dot.
    if (name.empty() || name[0] == '.' || !entry.is_regular_file(failure)) continue;
    found.emplace_back(entry.last_write_time(failure), name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& [time, name] : found) names.push_back(std::move(name));
  return names;
}

bool Deliverer::enqueue(const fs::path& file, std::string& error) {
  std::string name = file.filename().u8string();
  std::error_code failure;
  for (int n = 2; fs::exists(options_.spool / fs::u8path(name), failure) && n < 1000; ++n) {
    name = numbered(file.filename().u8string(), n);
  }
  const fs::path aside = options_.spool / fs::u8path("." + name + PART_SUFFIX);
  fs::copy_file(file, aside, fs::copy_options::overwrite_existing, failure);
  if (!failure) fs::rename(aside, options_.spool / fs::u8path(name), failure);
  if (failure) {
    error = "cannot put " + file.u8string() + " into the spool: " + failure.message();
    fs::remove(aside, failure);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    empty_ = false;
  }
  changed_.notify_all();
  return true;
}

bool Deliverer::deliverOne(const std::string& name, std::string& error) {
  const fs::path local = options_.spool / fs::u8path(name);
  std::error_code failure;
  const std::uint64_t size = fs::file_size(local, failure);
  if (failure) {
    error = "cannot read " + local.u8string() + ": " + failure.message();
    return false;
  }
  // Never a different file under a name the destination holds already; the same file there is
  // one delivered before the spool could let go of it.
  std::string target = name;
  for (int n = 2;; ++n) {
    const Transport::Found found = transport_->probe(target, local, size, error);
    if (found == Transport::Found::unknown) return false;
    if (found == Transport::Found::same) break;
    if (found == Transport::Found::absent) {
      if (!transport_->put(local, target, size, error)) return false;
      break;
    }
    if (n > 999) {
      error = "the destination holds too many other files named like " + name;
      return false;
    }
    target = numbered(name, n);
  }
  fs::remove(local, failure);
  log_("delivered " + name + (target != name ? " as " + target : "") + " to " +
       transport_->shown());
  std::lock_guard<std::mutex> lock(mutex_);
  delivered_.push_back(target);
  if (delivered_.size() > 50) delivered_.pop_front();
  lastError_.clear();
  return true;
}

void Deliverer::loop() {
  std::chrono::milliseconds pause = options_.firstPause;
  std::string lastLogged;
  for (;;) {
    const std::vector<std::string> names = spooled();
    bool failed = false;
    for (const std::string& name : names) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
      }
      std::string error;
      if (!deliverOne(name, error)) {
        failed = true;
        // A destination that stays down is said once, not at every try.
        if (error != lastLogged) log_("cannot deliver " + name + ": " + error + "; trying again");
        lastLogged = error;
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = error;
        break;
      }
      lastLogged.clear();
      pause = options_.firstPause;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!failed && spooled().empty()) {
      empty_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return stopping_ || !empty_; });
    } else if (failed) {
      changed_.wait_for(lock, pause, [&] { return stopping_; });
      pause = std::min(pause * 2, options_.maxPause);
    }
    if (stopping_) return;
  }
}

Deliverer::Status Deliverer::status() const {
  Status status;
  status.waiting = spooled();
  status.destination = transport_->shown();
  std::lock_guard<std::mutex> lock(mutex_);
  status.delivered.assign(delivered_.begin(), delivered_.end());
  status.lastError = lastError_;
  return status;
}

bool Deliverer::waitEmpty(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return empty_; });
}
