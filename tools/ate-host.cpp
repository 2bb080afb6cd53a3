// ate-host: the reference host. Starts the driver, runs a session against it and prints the
// exchange; exits non-zero on an error reply, a timeout, or a driver that dies.
//
//   ate-host [--driver PATH] [--timeout SECS] [--run-timeout SECS] --script FILE
//   ate-host [options] STEP...       e.g. "load lib.so flow.json" "run s.json" wait exit
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "AteVersion.h"
#include "host/CommandLine.h"
#include "tools/HostSession.h"

namespace {

void usage() {
  std::fputs(
      "usage: ate-host [--version] [--driver PATH] [--timeout SECS] [--run-timeout SECS]\n"
      "                (--script FILE | STEP...)\n"
      "steps: load LIB FLOW | run SETTING | wait | stop [after SECS] | sleep SECS | unload | "
      "exit |\n"
      "       check LIB FLOW [SETTING...]  (the files checked as ate-check does; errors end the "
      "session)\n",
      stderr);
}

// A timeout: some time, not none.
bool seconds(const char* text, std::chrono::milliseconds& out) {
  const std::optional<std::chrono::milliseconds> value = host::parseSeconds(text);
  if (!value || value->count() == 0) return false;
  out = *value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  HostOptions options;
  options.driver = host::programBeside(argv[0], "driver");
  std::vector<std::string> lines;
  std::string script;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      usage();
      return HOST_OK;
    } else if (arg == "--version") {
      std::printf("ate-host %s\n", ATE_VERSION);
      return HOST_OK;
    } else if (arg == "--driver" && hasValue) {
      options.driver = argv[++i];
    } else if (arg == "--script" && hasValue) {
      script = argv[++i];
    } else if (arg == "--timeout" && hasValue && seconds(argv[i + 1], options.timeout)) {
      ++i;
    } else if (arg == "--run-timeout" && hasValue && seconds(argv[i + 1], options.runTimeout)) {
      ++i;
    } else if (arg.compare(0, 2, "--") == 0) {
      usage();
      return HOST_USAGE;
    } else {
      lines.push_back(arg);
    }
  }
  if (!script.empty()) {
    std::ifstream file(script);
    if (!file) {
      std::fprintf(stderr, "ate-host: cannot read %s\n", script.c_str());
      return HOST_USAGE;
    }
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }
  std::vector<HostStep> steps;
  std::string error;
  if (!parseSteps(lines, steps, error)) {
    std::fprintf(stderr, "ate-host: %s\n", error.c_str());
    return HOST_USAGE;
  }
  if (steps.empty()) {
    usage();
    return HOST_USAGE;
  }
  return runSession(options, steps, stdout);
}
