// Tells whether the driver's reader and ate-check's take each file given: one line per file,
// "accept" or "reject" from each, written to OUT (the driver's listing goes to standard output).
//
//   record_verdict OUT (flow|setting) FILE...
#include <cstdio>
#include <fstream>
#include <string>

#include "check/Checker.h"
#include "utils/DriverCommon.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: record_verdict OUT (flow|setting) FILE...\n", stderr);
    return 64;
  }
  std::ofstream out(argv[1]);
  const std::string kind = argv[2];
  DriverCommon common;
  for (int i = 3; i < argc; ++i) {
    const std::string file = argv[i];
    bool driver = false;
    try {
      driver = kind == "flow" ? common.analysisFlowFile(file).has_value()
                              : common.analysisSettingFile(file).has_value();
    } catch (const std::exception&) {
      driver = false;
    }
    CheckRequest request;
    (kind == "flow" ? request.flow : request.settings.emplace_back()) = file;
    const bool checker = checkStatus(checkProgram(request)) < 2;
    out << file << ' ' << (driver ? "accept" : "reject") << ' ' << (checker ? "accept" : "reject")
        << '\n';
  }
  return out ? 0 : 1;
}
