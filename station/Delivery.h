// Delivery of finished datalogs from the station to where the fleet's analysis picks them up: a
// folder (a mounted share) or a URL (sftp://, ftp://, http(s):// as PUT). A file goes into the
// station's spool folder first and leaves it only once the destination holds it whole; a
// destination that is down is tried again after a growing pause, and a station started again
// finds its spool and goes on. See docs/fleet.md.
#ifndef ATE_STATION_DELIVERY_H_
#define ATE_STATION_DELIVERY_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a destination is reached. Implementations: a folder, and URLs through libcurl where the
// build has it. Used by one thread at a time.
class Transport {
 public:
  virtual ~Transport() = default;

  enum class Found { absent, same, different, unknown };
  // Whether the destination holds a file called name, and whether it has size bytes (a folder
  // also compares the bytes with local). unknown with error set when the destination is down.
  virtual Found probe(const std::string& name, const std::filesystem::path& local,
                      std::uint64_t size, std::string& error) = 0;
  // Puts local there as name: under a temporary name first and renamed where the destination
  // can, then checked by size. False with error set when it didn't work (nothing is left under
  // name then, as far as the destination allows).
  virtual bool put(const std::filesystem::path& local, const std::string& name, std::uint64_t size,
                   std::string& error) = 0;
  // The destination as people may see it: a URL without its credentials.
  virtual std::string shown() const = 0;
};

// The transport for dest: a URL with a scheme, else a folder. credentials: "user:password" for
// URLs, or empty. Null with error set for a scheme this build can't deliver to.
std::unique_ptr<Transport> makeTransport(const std::string& dest, const std::string& credentials,
                                         std::string& error);

// Reads the credentials file: one line "user:password", readable by its owner only (mode 600
// on POSIX). False with error saying what is wrong.
bool readCredentials(const std::filesystem::path& file, std::string& credentials,
                     std::string& error);

struct DeliveryOptions {
  std::filesystem::path spool;                 // created when missing
  std::chrono::milliseconds firstPause{1000};  // after a failure; doubles up to maxPause
  std::chrono::milliseconds maxPause{60000};
};

// Thread-safe; delivers on a thread of its own.
class Deliverer {
 public:
  // log: one line for people per delivery and failure (never with credentials).
  Deliverer(DeliveryOptions options, std::unique_ptr<Transport> transport,
            std::function<void(const std::string&)> log);
  ~Deliverer();
  Deliverer(const Deliverer&) = delete;
  Deliverer& operator=(const Deliverer&) = delete;

  // Copies file into the spool (whole, or not at all); it is delivered from there. False with
  // error set when the copy failed (the file is then not in the spool).
  bool enqueue(const std::filesystem::path& file, std::string& error);

  struct Status {
    std::vector<std::string> waiting;    // in the spool, oldest first
    std::vector<std::string> delivered;  // the newest ones, newest last
    std::string lastError;               // of the last attempt that failed; empty after success
    std::string destination;             // as shown to people
  };
  Status status() const;
  // Waits until the spool is empty or timeout passes; true when it is empty.
  bool waitEmpty(std::chrono::milliseconds timeout) const;

 private:
  void loop();
  std::vector<std::string> spooled() const;
  bool deliverOne(const std::string& name, std::string& error);

  const DeliveryOptions options_;
  const std::unique_ptr<Transport> transport_;
  const std::function<void(const std::string&)> log_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  std::deque<std::string> delivered_;
  std::string lastError_;
  bool stopping_ = false;
  bool empty_ = false;
  std::thread thread_;
};

#endif  // ATE_STATION_DELIVERY_H_
