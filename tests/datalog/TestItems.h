// Flow records for the datalog tests, built in code: a result (one parameter with its limits)
// and a selected test item holding results.
#ifndef ATE_TESTS_DATALOG_TESTITEMS_H_
#define ATE_TESTS_DATALOG_TESTITEMS_H_

#include <string>
#include <utility>
#include <vector>

#include "utils/CommonStruct.h"

inline Result result(int paramId, const std::string& name, const std::string& min,
                     const std::string& max, const std::string& unit) {
  return Result{max, min, paramId, name, unit};
}

inline TestItem item(const std::string& name, int funcId, int hbin, int sbin,
                     std::vector<Result> results) {
  TestItem made{};
  made.funcName = name;
  made.funcId = funcId;
  made.hbin = hbin;
  made.sbin = sbin;
  made.select = true;
  made.results = std::move(results);
  return made;
}

#endif  // ATE_TESTS_DATALOG_TESTITEMS_H_
