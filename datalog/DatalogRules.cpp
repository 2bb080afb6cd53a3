#include "datalog/DatalogRules.h"

#include <cmath>
#include <map>
#include <set>

namespace datalog {

namespace {

std::uint16_t binNumber(int bin) {
  if (bin < 0) return 0;
  return bin > 65535 ? 65535 : static_cast<std::uint16_t>(bin);
}

std::string describe(const TestItem& item, const Result& result) {
  return "test item '" + item.funcName + "' parameter '" + result.paramName + "' (paramId " +
         std::to_string(result.paramId) + ")";
}

}  // namespace

Plan buildPlan(const FlowMessage& flow) {
  Plan plan;
  std::set<int> seen;
  for (const TestItem& item : flow.testItems) {
    for (const Result& result : item.results) {
      if (!seen.insert(result.paramId).second) plan.renumbered = true;
    }
  }
  std::map<std::uint32_t, std::string> numbers;
  for (const TestItem& item : flow.testItems) {
    PlanItem planned;
    planned.funcName = item.funcName;
    planned.selected = item.select;
    planned.hbin = binNumber(item.hbin);
    planned.sbin = binNumber(item.sbin);
    for (const Result& result : item.results) {
      PlanParam param;
      param.paramId = result.paramId;
      const long long number = plan.renumbered
                                   ? static_cast<long long>(item.funcId) * 1000 + result.paramId
                                   : result.paramId;
      param.testNumber = static_cast<std::uint32_t>(number);
      param.testIndex = plan.testCount++;
      param.name = result.paramName;
      param.unit = result.unit;
      param.limits.low = parseLimit(result.min);
      param.limits.high = parseLimit(result.max);
      const std::string key = item.funcName + "/" + std::to_string(result.paramId);
      if (param.limits.low.malformed) {
        plan.warnings.emplace_back(key + "/min", "datalog: " + describe(item, result) +
                                                     ": low limit '" + result.min +
                                                     "' is not a number; no low limit");
      }
      if (param.limits.high.malformed) {
        plan.warnings.emplace_back(key + "/max", "datalog: " + describe(item, result) +
                                                     ": high limit '" + result.max +
                                                     "' is not a number; no high limit");
      }
      if (param.limits.low.present && param.limits.high.present &&
          param.limits.low.value > param.limits.high.value) {
        plan.warnings.emplace_back(
            key + "/order", "datalog: " + describe(item, result) + ": low limit " + result.min +
                                " is above high limit " + result.max + "; every value fails");
      }
      if (number < 0 || number > 0xFFFFFFFFLL) {
        plan.warnings.emplace_back(key + "/number", "datalog: " + describe(item, result) +
                                                        ": test number " + std::to_string(number) +
                                                        " is out of range");
      } else if (!numbers.emplace(param.testNumber, key).second) {
        plan.warnings.emplace_back(key + "/number", "datalog: " + describe(item, result) +
                                                        ": test number " + std::to_string(number) +
                                                        " is already taken by " +
                                                        numbers[param.testNumber]);
      }
      planned.params.push_back(std::move(param));
    }
    plan.items.push_back(std::move(planned));
  }
  return plan;
}

std::uint64_t flowFingerprint(const FlowMessage& flow) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto bytes = [&hash](const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  };
  // Each text with its length, so that no two different flows run together alike.
  const auto text = [&bytes](const std::string& s) {
    const std::size_t size = s.size();
    bytes(&size, sizeof size);
    bytes(s.data(), s.size());
  };
  for (const TestItem& item : flow.testItems) {
    text(item.funcName);
    const int numbers[] = {item.funcId, item.hbin, item.sbin, item.select ? 1 : 0,
                           static_cast<int>(item.results.size())};
    bytes(numbers, sizeof numbers);
    for (const Result& result : item.results) {
      bytes(&result.paramId, sizeof result.paramId);
      text(result.paramName);
      text(result.unit);
      text(result.min);
      text(result.max);
    }
  }
  return hash;
}

BinChoice chooseBin(const std::vector<PlanItem>* items, const std::vector<bool>& met,
                    int firstFailed, std::uint16_t incompleteBin,
                    const std::string& incompleteName) {
  BinChoice choice;
  if (items != nullptr && firstFailed >= 0 &&
      static_cast<std::size_t>(firstFailed) < items->size()) {
    const PlanItem& failed = (*items)[static_cast<std::size_t>(firstFailed)];
    choice.hardBin = failed.hbin;
    choice.softBin = failed.sbin;
    choice.name = failed.funcName;
    return choice;
  }
  bool complete = items != nullptr;
  for (std::size_t i = 0; complete && i < items->size(); ++i) {
    if ((*items)[i].selected && (i >= met.size() || !met[i])) complete = false;
  }
  if (!complete) {
    choice.hardBin = choice.softBin = incompleteBin;
    choice.name = incompleteName;
    choice.abnormal = true;
    return choice;
  }
  choice.hardBin = choice.softBin = 1;
  choice.name = "PASS";
  choice.good = true;
  return choice;
}

std::string incompleteReason(const std::vector<PlanItem>* items,
                             const std::vector<std::vector<bool>>& met,
                             const std::vector<int>& firstFailed, std::size_t part, bool failstop) {
  if (items == nullptr) return "no test function recorded anything in the pass";
  const auto metItem = [&met](std::size_t p, std::size_t i) {
    return i < met[p].size() && met[p][i];
  };
  std::size_t missed = 0;
  while (missed < items->size() && (!(*items)[missed].selected || metItem(part, missed))) ++missed;
  if (missed == items->size()) return "";  // it missed nothing
  if (failstop) {
    for (std::size_t p = 0; p < firstFailed.size(); ++p) {
      if (p != part && firstFailed[p] >= 0 && static_cast<std::size_t>(firstFailed[p]) < missed) {
        return "another device failed under fail-stop";
      }
    }
  }
  const std::string& name = (*items)[missed].funcName;
  for (std::size_t p = 0; p < met.size(); ++p) {
    if (metItem(p, missed)) return "test function " + name + " recorded nothing for this device";
  }
  return "test function " + name + " is missing or recorded nothing";
}

}  // namespace datalog
