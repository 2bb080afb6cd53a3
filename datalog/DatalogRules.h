// The rules of the datalog that don't touch the file: reading limits, numbering tests, binning
// parts. Internal to libdatalog (the tests compile it on its own).
#ifndef ATE_DATALOG_DATALOGRULES_H_
#define ATE_DATALOG_DATALOGRULES_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "utils/CommonStruct.h"
#include "utils/LimitText.h"

namespace datalog {

// One side's limit and the rule that reads it: see utils/LimitText.h.
using ::Limit;
using ::parseLimit;

struct Limits {
  Limit low;
  Limit high;
};

// Whether value passes: finite, and low <= value <= high for each side that has a limit. Here,
// where every recorded value's call can be inlined.
inline bool withinLimits(const Limits& limits, double value) {
  if (!std::isfinite(value)) return false;
  if (limits.low.present && !(value >= limits.low.value)) return false;
  if (limits.high.present && !(value <= limits.high.value)) return false;
  return true;
}

// One parameter of a test item, as the datalog records it.
struct PlanParam {
  int paramId = 0;
  std::uint32_t testNumber = 0;
  std::size_t testIndex = 0;  // dense index over every parameter of the flow
  Limits limits;
  std::string name;
  std::string unit;
  std::string ptrTail;  // the writer's: the encoded PTR fields that don't change between values
};

struct PlanItem {
  std::string funcName;
  bool selected = false;
  std::uint16_t hbin = 0;
  std::uint16_t sbin = 0;
  std::vector<PlanParam> params;
};

// What the datalog needs of a flow, read once per distinct flow.
struct Plan {
  std::vector<PlanItem> items;
  std::size_t testCount = 0;
  // True when paramIds repeat across the flow and tests are numbered funcId * 1000 + paramId.
  bool renumbered = false;
  // Warnings about the flow: a key naming the parameter (to say each once) and the line.
  std::vector<std::pair<std::string, std::string>> warnings;
};

// Reads the flow: test number paramId while every paramId of the flow is unique, otherwise
// funcId * 1000 + paramId for every test.
Plan buildPlan(const FlowMessage& flow);

// A hash of everything of the flow that buildPlan reads.
std::uint64_t flowFingerprint(const FlowMessage& flow);

// Where a part is binned.
struct BinChoice {
  std::uint16_t hardBin = 0;
  std::uint16_t softBin = 0;
  std::string name;
  bool good = false;
  bool abnormal = false;  // missed test items without failing one
};

// The bin rule. met[i]: the part recorded a result for items[i]; firstFailed: the index of the
// first item it failed in, or -1. A part is good (bin 1, "PASS") only when it failed nothing and
// met every selected item; a part that failed gets the hbin and sbin of the first item it failed
// in, named after its funcName; a part that failed nothing but missed a selected item goes to
// the incomplete bin. items may be null (no test function of the pass recorded anything, so the
// flow is unknown): then the part is incomplete.
BinChoice chooseBin(const std::vector<PlanItem>* items, const std::vector<bool>& met,
                    int firstFailed, std::uint16_t incompleteBin,
                    const std::string& incompleteName);

// Why a part that chooseBin found incomplete missed items, in words, from what every part of its
// pass met (met[p], firstFailed[p] for each part p) and whether the pass ran under fail-stop:
//   "no test function recorded anything in the pass"      (items is null)
//   "another device failed under fail-stop"                (one failed before the first item this
//                                                           part missed, and the pass stopped)
//   "test function F is missing or recorded nothing"       (no part of the pass met that item)
//   "test function F recorded nothing for this device"     (other parts met it)
std::string incompleteReason(const std::vector<PlanItem>* items,
                             const std::vector<std::vector<bool>>& met,
                             const std::vector<int>& firstFailed, std::size_t part, bool failstop);

}  // namespace datalog

#endif  // ATE_DATALOG_DATALOGRULES_H_
