// ate-check: checks a test program before it reaches the floor and lists every problem found,
// each with its file and JSON path. The library, when given, is never loaded.
//
//   ate-check [--json] [--library LIB] FLOW [SETTING...]
//
// Exit status: 0 nothing found, 1 warnings only, 2 errors, 64 wrong arguments.
#include <cstdio>
#include <string>

#include "AteVersion.h"
#include "check/Checker.h"

namespace {

constexpr int USAGE = 64;

void usage(std::FILE* out) {
  std::fputs("usage: ate-check [--version] [--json] [--library LIB] FLOW [SETTING...]\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  CheckRequest request;
  bool asJson = false;
  bool haveFlow = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("ate-check %s\n", ATE_VERSION);
      return 0;
    } else if (arg == "--json") {
      asJson = true;
    } else if (arg == "--library" && i + 1 < argc) {
      request.library = argv[++i];
    } else if (arg.compare(0, 2, "--") == 0 || arg.empty()) {
      usage(stderr);
      return USAGE;
    } else if (!haveFlow) {
      request.flow = arg;
      haveFlow = true;
    } else {
      request.settings.push_back(arg);
    }
  }
  if (!haveFlow) {
    usage(stderr);
    return USAGE;
  }

  const std::vector<Finding> findings = checkProgram(request);
  std::string text;
  if (asJson) {
    text = findingsJson(findings) + "\n";
  } else {
    int errors = 0;
    for (const Finding& finding : findings) {
      text += formatFinding(finding) + "\n";
      errors += finding.severity == Finding::Severity::error ? 1 : 0;
    }
    const std::size_t warnings = findings.size() - static_cast<std::size_t>(errors);
    text += std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
            std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return checkStatus(findings);
}
