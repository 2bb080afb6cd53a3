// ate-datalog: reads STDF V4 datalogs. Prints a summary (yield, bins, test statistics), a CSV
// table with one row per part, or every record, or exports parts, results and tests tables for
// query engines; see DatalogTool.h for the exit statuses.
//
//   ate-datalog summary FILE...
//   ate-datalog csv FILE
//   ate-datalog dump FILE
//   ate-datalog export --to DIR FILE...
#include <iostream>
#include <string>
#include <vector>

#include "stdf/DatalogTool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = runDatalogTool(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
