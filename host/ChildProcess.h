// A child process whose standard streams are pipes to this one, read line by line. Used by the
// reference host and by the end-to-end tests, which drive the real driver as a host would.
#ifndef ATE_TOOLS_CHILDPROCESS_H_
#define ATE_TOOLS_CHILDPROCESS_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

class ChildProcess {
 public:
  enum class Stream { out = 0, err = 1 };

  struct Options {
    std::vector<std::string> argv;  // argv[0] is the program's path
    std::string workingDirectory;   // empty: this process's
    // Variables set in the child's environment, on top of (or instead of) this process's own.
    std::vector<std::pair<std::string, std::string>> environment;
    // Resource limits for the child, in bytes; 0 leaves a limit as it is. Honoured on POSIX only.
    std::uint64_t addressSpaceLimit = 0;
    std::uint64_t stackLimit = 0;
  };

  // Starts the child. Throws std::runtime_error when it can't be started.
  explicit ChildProcess(const Options& options);
  // Kills the child if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes text to the child's standard input. False once the child no longer reads it.
  bool write(std::string_view text);
  void closeInput();

  // The next line the child wrote on stream, without its line end, waiting up to timeout.
  // Empty when none came in time or the stream ended.
  std::optional<std::string> readLine(Stream stream, std::chrono::milliseconds timeout);

  // Every line of stream until it ends (or timeout passes), without their line ends.
  std::vector<std::string> readRemaining(Stream stream, std::chrono::milliseconds timeout);

  // Whether the stream has ended and all its lines have been read.
  bool drained(Stream stream);

  // How many lines of stream ended in CR LF, and how many in a bare LF, so far.
  std::size_t crlfLines(Stream stream);
  std::size_t lfLines(Stream stream);

  // Waits up to timeout for the child to end; its exit status, or empty if it still runs (or
  // ended by a signal: then -1).
  std::optional<int> wait(std::chrono::milliseconds timeout);

  void kill();

  // The child's process id, for sending it a signal.
  std::int64_t id() const;

 private:
  struct Channel {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    std::string partial;
    bool ended = false;
    std::size_t crlf = 0;
    std::size_t lf = 0;
  };

  void readLoop(Stream stream, std::intptr_t handle);
  void addBytes(Channel& channel, const char* data, std::size_t size);
  // Called by a reader once its stream has ended: an unterminated last line counts as a line.
  void endStream(Channel& channel);

  // The platform's handles; its deleter closes whatever is still open.
  struct Native;
  struct NativeDeleter {
    void operator()(Native* native) const;
  };
  std::unique_ptr<Native, NativeDeleter> native_;
  Channel channels_[2];
  std::thread readers_[2];
  std::mutex statusMutex_;  // kill() and wait() may be called from different threads
  std::optional<int> status_;
};

#endif  // ATE_TOOLS_CHILDPROCESS_H_
