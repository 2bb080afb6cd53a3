#include "datalog/DatalogRules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

using datalog::BinChoice;
using datalog::Limits;
using datalog::PlanItem;

namespace {

TestItem item(const std::string& name, int funcId, std::vector<Result> results, int hbin = 2,
              int sbin = 20) {
  TestItem made{};
  made.funcName = name;
  made.funcId = funcId;
  made.results = std::move(results);
  made.hbin = hbin;
  made.sbin = sbin;
  made.select = true;
  return made;
}

Result result(int paramId, const std::string& min, const std::string& max) {
  return Result{max, min, paramId, "P" + std::to_string(paramId), "V"};
}

auto fields(const BinChoice& bin) {
  return std::make_tuple(bin.hardBin, bin.softBin, bin.name, bin.good, bin.abnormal);
}

}  // namespace

TEST(DatalogRules, LimitsAreInclusiveAndNonFiniteValuesFail) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::string min, max;
    double value;
    bool passes;
    bool lowPresent, highPresent, malformed;
  };
  const Case cases[] = {
      {"1.0", "2.0", 1.0, true, true, true, false},  // equal to the low limit
      {"1.0", "2.0", 2.0, true, true, true, false},  // equal to the high limit
      {"1.0", "2.0", 2.0000001, false, true, true, false},
      {"1.0", "2.0", 0.9999999, false, true, true, false},
      {"1.5", "1.5", 1.5, true, true, true, false},  // equal limits
      {"3", "1", 2.0, false, true, true, false},     // min above max: nothing passes
      {"3", "1", 3.0, false, true, true, false},
      {"", "", -1e30, true, false, false, false},   // no limits
      {"  ", "+2", 2.0, true, false, true, false},  // blank; a leading plus
      {"", "2", -1e30, true, false, true, false},
      {"-1e-3", "", 5.0, true, true, false, false},
      {"abc", "2", -7.0, true, false, true, true},    // not a number: no low limit
      {"1", "2V", 9.0, true, true, false, true},      // trailing text is no number either
      {"1,5", "", 1.0, true, false, false, true},     // nor a decimal comma
      {"nan", "inf", 1.0, true, false, false, true},  // limits must be finite
      {"", "", nan, false, false, false, false},      // NaN and infinities fail
      {"", "", inf, false, false, false, false},
      {"-1", "1", -inf, false, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("min '" + c.min + "' max '" + c.max + "' value " + std::to_string(c.value));
    const Limits limits{datalog::parseLimit(c.min), datalog::parseLimit(c.max)};
    EXPECT_EQ(limits.low.present, c.lowPresent);
    EXPECT_EQ(limits.high.present, c.highPresent);
    EXPECT_EQ(limits.low.malformed || limits.high.malformed, c.malformed);
    EXPECT_EQ(datalog::withinLimits(limits, c.value), c.passes);
  }
  EXPECT_EQ(datalog::parseLimit(" 1.5 ").value, 1.5);
}

TEST(DatalogRules, BinRule) {
  std::vector<PlanItem> items(3);
  items[0] = {"cont", true, 2, 20, {}};
  items[1] = {"leak", false, 3, 30, {}};  // not selected: never needed
  items[2] = {"vout", true, 4, 40, {}};
  struct Case {
    const char* what;
    std::vector<bool> met;
    int firstFailed;
    BinChoice expected;
  };
  const Case cases[] = {
      {"every selected item met", {true, false, true}, -1, {1, 1, "PASS", true, false}},
      {"failed the first item", {true, false, true}, 0, {2, 20, "cont", false, false}},
      {"failed, then missed the rest", {true, false, false}, 0, {2, 20, "cont", false, false}},
      {"failed the last item", {true, false, true}, 2, {4, 40, "vout", false, false}},
      {"missed an item, failed none", {true, false, false}, -1, {77, 77, "LOST", false, true}},
      {"recorded nothing", {false, false, false}, -1, {77, 77, "LOST", false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const BinChoice bin = datalog::chooseBin(&items, c.met, c.firstFailed, 77, "LOST");
    EXPECT_EQ(fields(bin), fields(c.expected));
  }
  // No test function of the pass recorded anything: the flow is unknown, the part incomplete.
  EXPECT_EQ(fields(datalog::chooseBin(nullptr, {}, -1, 99, "INCOMPLETE")),
            fields({99, 99, "INCOMPLETE", false, true}));
}

TEST(DatalogRules, WhyAPartIsIncomplete) {
  std::vector<PlanItem> items(3);
  items[0] = {"cont", true, 2, 20, {}};
  items[1] = {"leak", false, 3, 30, {}};  // not selected: never missed
  items[2] = {"vout", true, 4, 40, {}};
  struct Case {
    const char* what;
    std::vector<std::vector<bool>> met;  // of each part; part 0 is the one asked about
    std::vector<int> firstFailed;
    bool failstop;
    std::string reason;
  };
  const std::string stopped = "another device failed under fail-stop";
  const Case cases[] = {
      {"another failed the first item under fail-stop",
       {{true, false, false}, {true, false, false}},
       {-1, 0},
       true,
       stopped},
      {"the same without fail-stop",
       {{true, false, false}, {true, false, false}},
       {-1, 0},
       false,
       "test function vout is missing or recorded nothing"},
      {"another failed, and a later device still met the item",
       {{true, false, false}, {true, false, true}, {true, false, true}},
       {-1, -1, 0},
       false,
       "test function vout recorded nothing for this device"},
      {"it missed the item the other one failed in",
       {{false, false, false}, {true, false, false}},
       {-1, 0},
       true,
       "test function cont recorded nothing for this device"},
      {"nobody met the first item",
       {{false, false, true}, {false, false, true}},
       {-1, -1},
       true,
       "test function cont is missing or recorded nothing"},
      {"fail-stop, and nobody failed",
       {{true, false, false}},
       {-1},
       true,
       "test function vout is missing or recorded nothing"},
      {"an unselected item is never missed", {{true, false, true}}, {-1}, false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(datalog::incompleteReason(&items, c.met, c.firstFailed, 0, c.failstop), c.reason)
        << c.what;
  }
  EXPECT_EQ(datalog::incompleteReason(nullptr, {{}}, {-1}, 0, true),
            "no test function recorded anything in the pass");
}

TEST(DatalogRules, TestNumbersAndWarnings) {
  FlowMessage flow;
  flow.testItems = {item("a", 1, {result(11, "0", "1"), result(12, "x", "")}),
                    item("b", 2, {result(21, "5", "4")})};
  datalog::Plan plan = datalog::buildPlan(flow);
  EXPECT_FALSE(plan.renumbered);
  EXPECT_EQ(plan.testCount, 3u);
  EXPECT_EQ(plan.items[0].params[1].testNumber, 12u);
  EXPECT_EQ(plan.items[1].params[0].testIndex, 2u);
  ASSERT_EQ(plan.warnings.size(), 2u);
  EXPECT_EQ(plan.warnings[0].second,
            "datalog: test item 'a' parameter 'P12' (paramId 12): low limit 'x' is not a "
            "number; no low limit");
  EXPECT_EQ(plan.warnings[1].second,
            "datalog: test item 'b' parameter 'P21' (paramId 21): low limit 5 is above high "
            "limit 4; every value fails");

  // paramId 11 twice: every test becomes funcId * 1000 + paramId.
  flow.testItems.push_back(item("c", 3, {result(11, "", "")}));
  plan = datalog::buildPlan(flow);
  EXPECT_TRUE(plan.renumbered);
  EXPECT_EQ(plan.items[0].params[0].testNumber, 1011u);
  EXPECT_EQ(plan.items[1].params[0].testNumber, 2021u);
  EXPECT_EQ(plan.items[2].params[0].testNumber, 3011u);
  const std::uint64_t before = datalog::flowFingerprint(flow);
  flow.testItems[2].results[0].max = "1";
  EXPECT_NE(datalog::flowFingerprint(flow), before);
}
