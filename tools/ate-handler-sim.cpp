// ate-handler-sim: plays a handler (or, with --prober, a prober) for the station, for tests,
// demonstrations and integrators. Listens for the station, feeds it touchdowns, checks every BIN
// it gets back, and prints every line it exchanges. Exits 0 at the end of the lot when everything
// the station sent was right, 1 when anything was wrong, 64 on bad arguments.
//
//   ate-handler-sim [--listen ADDR] [--port PORT] [--sites N] [--parts P] [--empty RATE]
//                   [--index MS] [--jam-after K] [--seed S] [--timeout SECS]
//                   [--prober --wafers W --diameter D --retest K]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "handler/HandlerSim.h"
#include "host/CommandLine.h"

namespace {

void usage() {
  std::fputs(
      "usage: ate-handler-sim [--listen ADDR] [--port PORT] [--sites N] [--parts P]\n"
      "                       [--empty RATE] [--index MS] [--jam-after K] [--seed S]\n"
      "                       [--timeout SECS] [--prober --wafers W --diameter D --retest K]\n"
      "  --listen ADDR    where to listen for the station (default 127.0.0.1)\n"
      "  --port PORT      (default 0: any free port; the port is printed)\n"
      "  --sites N        sites of the handler (default 4)\n"
      "  --parts P        parts in the lot (default 100); a prober tests whole wafers instead\n"
      "  --empty RATE     chance from 0 to 1 that a site stays empty in a touchdown (default 0)\n"
      "  --index MS       time from a BIN to the next SOT (default 20)\n"
      "  --jam-after K    an ALARM after K touchdowns, READY a moment later (default: never)\n"
      "  --seed S         for the empty sites (default 1)\n"
      "  --timeout SECS   how long to wait for the station's BIN (default 120)\n"
      "  --prober         play a prober: round wafers, each die with its X,Y\n"
      "  --wafers W       wafers in the lot (default 1)\n"
      "  --diameter D     dies across a wafer, roughly (default 20)\n"
      "  --retest K       dies tested again at the end of each wafer (default 0)\n",
      stderr);
}

bool integer(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  handler::SimOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long value = 0;
    const auto take = [&](long low, long high) {
      return hasValue && integer(argv[i + 1], low, high, value) && ++i > 0;
    };
    if (arg == "--help") {
      usage();
      return 0;
    } else if (arg == "--listen" && hasValue) {
      options.host = argv[++i];
    } else if (arg == "--port" && take(0, 65535)) {
      options.port = static_cast<int>(value);
    } else if (arg == "--sites" && take(1, 255)) {
      options.sites = static_cast<int>(value);
    } else if (arg == "--parts" && take(1, 100000000)) {
      options.parts = value;
    } else if (arg == "--empty" && hasValue) {
      char* end = nullptr;
      options.emptyRate = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(options.emptyRate >= 0 && options.emptyRate < 1)) {
        usage();
        return 64;
      }
    } else if (arg == "--index" && take(0, 3600000)) {
      options.index = std::chrono::milliseconds(value);
    } else if (arg == "--jam-after" && take(1, 100000000)) {
      options.jamAfter = value;
    } else if (arg == "--seed" && take(0, 2147483647)) {
      options.seed = static_cast<unsigned>(value);
    } else if (arg == "--timeout" && hasValue && host::parseSeconds(argv[i + 1])) {
      options.timeout = *host::parseSeconds(argv[++i]);
    } else if (arg == "--prober") {
      options.prober = true;
    } else if (arg == "--wafers" && take(1, 1000)) {
      options.wafers = static_cast<int>(value);
    } else if (arg == "--diameter" && take(1, 2000)) {
      options.diameter = static_cast<int>(value);
    } else if (arg == "--retest" && take(0, 100000)) {
      options.retest = static_cast<int>(value);
    } else {
      usage();
      return 64;
    }
  }
  return handler::runSimulator(options, stdout);
}
