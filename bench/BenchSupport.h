// Helpers shared by the benchmark programs: generated flow and setting documents, a temporary
// directory, standard output sent elsewhere while the measured code writes to it, and the
// figure lines that every benchmark prints.
#ifndef ATE_BENCH_BENCHSUPPORT_H_
#define ATE_BENCH_BENCHSUPPORT_H_

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"
#include "utils/CommonStruct.h"

namespace bench {

// A flow document of count selected items named f0, f1, ..., each with results result
// parameters. The other fields hold short values like the ones of the test suite's flows.
std::string flowDocument(int count, int results);

// The test suite's temporary directory and setting documents.
using ::settingJson;
using ::TempDir;

// Sends the process's standard output (file descriptor 1, so C and C++ streams alike) to
// /dev/null for its lifetime, and gives the real standard output as a stream of its own: the
// code under measurement writes to the same cheap sink on both sides of a comparison while the
// figures still reach the reader.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

  // The standard output that was there before.
  std::ostream& console();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes one figure line, the form bench/run.sh collects:
//   "figure: LABEL = VALUE UNIT (target <= TARGET: met)"
// Without a target, only the value. A figure is information: nothing fails on it.
void printFigure(std::ostream& out, const std::string& label, double value,
                 const std::string& unit = "", std::optional<double> target = std::nullopt);

// The median of values (which it reorders); 0 for none.
double median(std::vector<double> values);

// The datalog benchmarks' flow: one selected item "measure" (bins 2/20) with parameters 1 to
// params, limits 1.0 to 2.0 V; and a setting of devices DUT1 to DUTn.
FlowMessage measureFlow(int params);
Setting devicesSetting(int devices);

}  // namespace bench

#endif  // ATE_BENCH_BENCHSUPPORT_H_
