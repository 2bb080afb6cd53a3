// The commands of `ate-datalog`, apart from its entry point so that tests run them in process.
#ifndef ATE_TOOLS_DATALOGTOOL_H_
#define ATE_TOOLS_DATALOGTOOL_H_

#include <iosfwd>
#include <string>
#include <vector>

// Exit statuses of ate-datalog.
enum DatalogStatus {
  DATALOG_OK = 0,
  DATALOG_DAMAGED = 1,  // a file is damaged or not STDF V4: what came before it was printed
  DATALOG_USAGE = 2,    // bad arguments, or a file that can't be opened
  DATALOG_WRITE = 3,    // export: an output folder or file can't be written
};

// Runs `ate-datalog ARGS...` (args without the program name): reports go to `out`, errors (one
// line each, naming the file and, for damage, the byte offset) to `err`.
int runDatalogTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

namespace stdf {
// An id (a wafer's, a file's stem) as a file name: letters, digits, '.', '-' and '_' kept,
// anything else '_'; fallback when nothing is left.
std::string outputFileName(const std::string& id, const char* fallback);
// Writes text as the whole file at path; false after a line on err.
bool writeOutputFile(const std::string& path, const std::string& text, std::ostream& err);
}  // namespace stdf

#endif  // ATE_TOOLS_DATALOGTOOL_H_
