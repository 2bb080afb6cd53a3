// Outlier screening of a lot's datalogs (part average testing, as automotive customers ask for
// it): parts inside their test limits but far from their population are binned out, and on wafers
// the geography counts too. Five rules, applied in this order to the lot's final parts (a die or
// part tested again counts with its last result):
//
//   static   a value outside limits computed beforehand from earlier lots (a limits file)
//   dynamic  a value outside the same robust limits computed from this population: per wafer
//            for wafer data, per lot (all files) otherwise
//   nnr      a die whose value, less the median of its neighbours' values (the window around it),
//            lies outside the robust limits of its wafer's residuals
//   gdbn     a good die in a bad neighbourhood: its failing neighbours weigh enough
//   zpat     a good die at a position that fails on a share of the lot's wafers
//
// Robust limits: median +- k * (Q3 - Q1) / 1.35, quantiles by linear interpolation between
// closest ranks (R's type 7), from the parts good as tested; a limit beyond the test's own limit is
// that limit. Every population and neighbourhood is taken from the parts as tested; only a part
// good as tested can be an outlier, and a part an earlier rule took keeps that rule's bin.
#ifndef ATE_STDF_PAT_H_
#define ATE_STDF_PAT_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "stdf/LotData.h"
#include "stdf/LotReport.h"
#include "stdf/StdfReader.h"
#include "stdf/Supersede.h"

namespace stdf {

enum class PatRule { STATIC, DYNAMIC, NNR, GDBN, ZPAT };
constexpr std::size_t PAT_RULES = 5;
// "static", "dynamic", "nnr", "gdbn", "zpat": the rule's name in files and outputs.
const char* patRuleName(PatRule rule);

struct PatRules {
  struct Rule {
    bool enabled = true;
    std::uint16_t hardBin = 0;
    std::uint16_t softBin = 0;
    std::string binName;
  };
  std::array<Rule, PAT_RULES> rules{{{true, 11, 11, "PAT_STATIC"},
                                     {true, 12, 12, "PAT_DYNAMIC"},
                                     {true, 13, 13, "PAT_NNR"},
                                     {true, 14, 14, "PAT_GDBN"},
                                     {true, 15, 15, "PAT_ZPAT"}}};
  double k = 6;                      // dynamic: median +- k robust sigma
  std::size_t minValues = 30;        // dynamic and nnr: a smaller population leaves the test out
  int nnrWindow = 5;                 // nnr: the square of dies around a die (odd)
  double nnrK = 6;                   // nnr: the residuals' limits
  std::size_t nnrMinNeighbours = 4;  // nnr: a die with fewer neighbours' values is not judged
  int gdbnAdjacentWeight = 2;        // gdbn: a failing neighbour in the same row or column
  int gdbnDiagonalWeight = 1;        // gdbn: a failing neighbour on a diagonal
  int gdbnThreshold = 6;             // gdbn: the weight that makes a good die an outlier
  double zpatShare = 0.5;            // zpat: a position failing on this share of the wafers or more
  std::size_t zpatMinWafers = 2;

  const Rule& operator[](PatRule rule) const { return rules[static_cast<std::size_t>(rule)]; }
  Rule& operator[](PatRule rule) { return rules[static_cast<std::size_t>(rule)]; }
};

// Reads a rules file (JSON; schemas/pat-rules.schema.json); what it leaves out keeps its
// default. False with error saying what is wrong.
bool parsePatRules(const std::string& text, PatRules& rules, std::string& error);
// The rules as a rules file.
std::string patRulesJson(const PatRules& rules);

struct RobustLimits {
  std::size_t values = 0;
  double q1 = 0, median = 0, q3 = 0, sigma = 0, low = 0, high = 0;
};
// The quantile p (0 to 1) of values by R's type 7; values are reordered. values not empty.
double quantileType7(std::vector<double>& values, double p);
// The median of those of n values (up to 24) that aren't NaN, as the nnr rule takes a die's
// neighbours' (four dies at once, through a sorting network); NaN when there is none.
double medianOfNeighbours(const float* values, int n);
// Robust limits of values (reordered): false when Q3 equals Q1 (no spread to judge by).
bool robustLimits(std::vector<double>& values, double k, RobustLimits& out);

// A static limits file's limits, by test number.
using PatLimitTable = std::map<std::uint32_t, std::pair<double, double>>;
bool parsePatLimits(const std::string& text, PatLimitTable& limits, std::string& error);

struct PatOutlier {
  std::size_t part = 0;  // in PatLot::parts()
  PatRule rule = PatRule::STATIC;
  std::optional<std::uint32_t> test;  // static, dynamic and nnr: the test that judged it
  double value = 0;
  std::optional<double> low, high;
  std::string detail;  // gdbn "weight=7 threshold=6", zpat "fails=3 wafers=4"
};

// A lot's datalogs read for screening: every part with its values, the tests, the wafers.
class PatLot {
 public:
  struct Test {
    std::uint32_t number = 0;
    std::string name, unit;
    std::optional<double> testLow, testHigh;
    long executions = 0, fails = 0;  // every PTR of it, parts tested again included
  };
  struct Part {
    std::uint32_t file = 0;
    std::uint64_t prrOffset = 0;  // of its PRR in its file
    std::uint8_t head = 1, site = 0;
    std::string partId;
    int wafer = -1;  // in wafers(); -1 off a wafer or without X,Y
    int x = 0, y = 0;
    std::uint16_t hardBin = 0, softBin = 0;
    bool good = false;  // as tested
    bool final = true;  // no later part tested its die or id again
    std::uint32_t valuesBegin = 0, valuesEnd = 0;
  };
  struct Wafer {
    std::string id;
    std::uint8_t head = 1;
  };
  struct File {
    std::string path;
    std::string lotId, partType;
    ByteOrder order = ByteOrder::LITTLE;
    long parts = 0, good = 0;
  };

  // Reads one file (pass one); false with error when it can't be read whole. collector, when
  // given, gets every record but the PTRs too, for the lot's report (whose tests come from here:
  // reportTests).
  bool read(const std::string& path, std::string& error, LotCollector* collector = nullptr);

  // Screens the final parts: the outliers, in rule order. dynamicLimits, when given, gets each
  // population's dynamic limits (low, high) by test number.
  using DynamicLimits = std::map<std::uint32_t, std::vector<std::pair<double, double>>>;
  std::vector<PatOutlier> screen(const PatRules& rules, const PatLimitTable* staticLimits,
                                 DynamicLimits* dynamicLimits = nullptr) const;

  // Static limits from the final parts good as tested: per test its robust limits (clipped to
  // its test limits), or why it is left out.
  struct LimitsResult {
    struct Limit {
      const Test* test;
      RobustLimits limits;
    };
    struct LeftOut {
      const Test* test;
      std::size_t values;
      std::string why;
    };
    std::vector<Limit> limits;
    std::vector<LeftOut> leftOut;
  };
  LimitsResult limits(double k, std::size_t minValues) const;

  const std::vector<Part>& parts() const { return parts_; }
  const std::vector<Test>& tests() const { return tests_; }
  const std::vector<Wafer>& wafers() const { return wafers_; }
  const std::vector<File>& files() const { return files_; }
  // A part's values: (index in tests(), value) pairs.
  std::pair<const std::uint32_t*, const double*> values(const Part& part) const {
    return {valueTests_.data() + part.valuesBegin, values_.data() + part.valuesBegin};
  }
  // The report's tests from every value read (parts tested again included), in the order the
  // tests first came.
  std::vector<ReportTest> reportTests() const;
  // Applies clipping to a test's test limits.
  static void clipToTestLimits(const Test& test, RobustLimits& limits);

 private:
  std::uint32_t testIndex(std::uint32_t number);

  std::vector<Part> parts_;
  std::vector<Test> tests_;
  std::unordered_map<std::uint32_t, std::uint32_t> testIndex_;  // numbers from 65536
  std::vector<std::int32_t> testSlot_;                          // numbers below, -1: none
  SupersedeTracker supersede_;
  std::vector<Wafer> wafers_;
  std::map<std::pair<std::uint8_t, std::string>, int> waferIndex_;
  std::vector<File> files_;
  std::vector<std::uint32_t> valueTests_;
  std::vector<double> values_;
};

// `ate-datalog pat limits` and `pat apply`, as the tool and the station run them. They return
// the tool's exit status (DatalogTool.h) and say what they wrote on out, what went wrong on err.
int patLimitsCommand(const std::vector<std::string>& files, double k, std::size_t minValues,
                     const std::string& outPath, std::ostream& out, std::ostream& err);

// What pat apply found, for callers that show it (the station).
struct PatApplyResult {
  std::array<long, PAT_RULES> outliers{};  // per rule
  long parts = 0;                          // final parts screened
  std::vector<std::string> outputs;        // every file written, in order
  // Per wafer id, the outliers' X,Y and rule name.
  std::map<std::string, std::vector<std::pair<std::pair<int, int>, std::string>>> dies;
};
// prefix goes before the names of the outputs that don't come from an input's name (outliers.csv,
// report.html, each wafer's maps), so that several lots' outputs may meet in one place.
int patApplyCommand(const std::vector<std::string>& files, const std::string& limitsPath,
                    const std::string& rulesPath, const std::string& outDir, std::ostream& out,
                    std::ostream& err, PatApplyResult* result = nullptr,
                    const std::string& prefix = "");

}  // namespace stdf

#endif  // ATE_STDF_PAT_H_
