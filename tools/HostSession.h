// The reference host: drives a driver through a session of steps, prints the exchange as it
// happens, and tells by its result whether everything went as the host expected.
#ifndef ATE_TOOLS_HOSTSESSION_H_
#define ATE_TOOLS_HOSTSESSION_H_

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// One step of a session, as written in a script or on the command line:
//   load LIB FLOW      send load; wait for its reply
//   run SETTING        send run; wait for its reply (the run goes on)
//   wait               wait until every run started so far has ended ("N^execute done")
//   stop [after SECS]  optionally sleep SECS seconds, then send stop and wait for its reply
//   sleep SECS         pause, showing what the driver writes meanwhile
//   unload             send unload; wait for its reply
//   exit               send exit; wait for the driver to end
//   check LIB FLOW [SETTING...]
//                      check the files as ate-check does, without loading the library; errors
//                      end the session like an error reply, warnings are only shown
struct HostStep {
  enum class Kind { load, run, wait, stop, sleep, unload, exit, check };
  Kind kind;
  std::vector<std::string>
      args;  // load: library, flow; run: setting; check: library, flow, settings
  std::chrono::milliseconds pause{0};  // stop after, sleep
  std::string text;                    // as written, for messages
};

// Parses steps, one per entry; blank entries and entries starting with '#' are skipped. On a
// malformed step, returns false with error naming it.
bool parseSteps(const std::vector<std::string>& lines, std::vector<HostStep>& steps,
                std::string& error);

struct HostOptions {
  std::string driver;                            // path of the driver program
  std::chrono::milliseconds timeout{30000};      // for the prompt, each reply, the exit
  std::chrono::milliseconds runTimeout{600000};  // for "wait"
};

// How a session ended; the value is the host's exit status.
enum HostResult {
  HOST_OK = 0,
  HOST_ERROR_REPLY = 1,  // the driver answered a command with an error reply, or a check failed
  HOST_TIMEOUT = 2,      // something the host waited for didn't come in time
  HOST_DRIVER_DIED = 3,  // the driver couldn't be started or ended on its own
  HOST_USAGE = 64,       // the host's own arguments or script are wrong
};

// Runs the session against a new driver process, writing the exchange to out. A session that
// doesn't end with exit gets one. After an error reply the host stops the session, sends exit,
// and reports the error.
HostResult runSession(const HostOptions& options, const std::vector<HostStep>& steps,
                      std::FILE* out);

#endif  // ATE_TOOLS_HOSTSESSION_H_
