// Checks a test program (flow file, setting files, optionally its library) before it reaches the
// floor: everything the driver would refuse, read with the driver's own record reader, then what
// the driver accepts but a test engineer would want to hear. The library is never loaded: its
// export table is read from the file.
#ifndef ATE_TOOLS_CHECKER_H_
#define ATE_TOOLS_CHECKER_H_

#include <string>
#include <vector>

struct Finding {
  enum class Severity { warning, error };
  Severity severity;
  std::string file;     // as given
  std::string path;     // JSON pointer inside the file; empty for the file as a whole
  std::string message;  // a sentence for a person
};

struct CheckRequest {
  std::string library;  // empty: no library check
  std::string flow;     // empty: settings only
  std::vector<std::string> settings;
};

// Every finding, in order: the flow's, the library's, then each setting file's.
std::vector<Finding> checkProgram(const CheckRequest& request);

// 0 when there is nothing to report, 1 for warnings only, 2 when there is an error.
int checkStatus(const std::vector<Finding>& findings);

// "FILE: PATH: error: MESSAGE" (no "PATH: " for the file as a whole).
std::string formatFinding(const Finding& finding);

// {"findings": [{"severity", "file", "path", "message"}...], "errors": N, "warnings": N}
std::string findingsJson(const std::vector<Finding>& findings);

#endif  // ATE_TOOLS_CHECKER_H_
