// The lot report: one self-contained HTML file (no external files, no script) for a lot's
// disposition: its identity, yield per site and per wafer, a bin pareto chart, the wafer maps,
// and per test a histogram with its limits drawn and Cpk.
#ifndef ATE_STDF_LOTREPORT_H_
#define ATE_STDF_LOTREPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stdf/WaferMap.h"

namespace stdf {

// One test's results over the lot. Values are sampled (see SAMPLE) for the histogram; the sums
// cover every value.
struct ReportTest {
  static constexpr std::size_t SAMPLE = 20000;

  std::uint32_t number = 0;
  std::string name, unit;
  std::optional<double> low, high;
  std::optional<double> patLow, patHigh;  // outlier screening's limits, when screened
  long executions = 0;
  long fails = 0;
  long values = 0;
  double sum = 0, squares = 0, min = 0, max = 0;
  std::vector<double> sample;

  // Adds one finite value; seen counts the values offered so far, for the sampling.
  void add(double value, std::uint64_t random);
  // The sample's next choice from state (xorshift): the same values sample alike every time.
  static std::uint64_t nextRandom(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  double mean() const { return values == 0 ? 0 : sum / values; }
  double deviation() const;
  // Cpk against the limits it has; empty without limits or spread.
  std::optional<double> cpk() const;
};

struct ReportBin {
  int number = 0;
  std::string name;
  bool good = false;
  long count = 0;
  bool derived = false;  // the bin records didn't say pass or fail: taken from its parts
};

struct ReportSite {
  int head = 1;
  int site = 0;
  long parts = 0;
  long good = 0;
};

struct LotReportData {
  std::vector<std::pair<std::string, std::string>> identity;  // as shown, in order
  std::vector<std::string> files;
  long parts = 0;  // final: each die or part once
  long good = 0;
  long tested = 0;  // every part tested, retests included
  std::vector<ReportSite> sites;
  std::vector<ReportBin> bins;  // hard bins
  std::vector<MapWafer> wafers;
  std::vector<ReportTest> tests;
  // Who did what to the lot on the station (time, who, what), when the station writes the report.
  struct Action {
    std::string time, who, what;
  };
  std::vector<Action> actions;
  // Outlier screening, when the lot was screened: per rule its bin and outliers, per test its
  // limits and outliers (the wafers' dies carry their rule).
  struct Pat {
    struct Rule {
      std::string name;
      bool enabled = false;
      int hardBin = 0;
      long outliers = 0;
    };
    struct Test {
      std::uint32_t number = 0;
      std::string name;
      std::optional<double> staticLow, staticHigh;
      std::optional<double> dynamicLow, dynamicHigh;  // the median over the populations
      long populations = 0;                           // how many had dynamic limits
      long outliers[3] = {0, 0, 0};                   // static, dynamic, nnr
    };
    std::vector<Rule> rules;
    std::vector<Test> tests;
    long parts = 0;
  };
  std::optional<Pat> pat;
};

std::string reportHtml(const LotReportData& lot);

// Cpk of a normal spread with that mean and deviation against the limits given.
std::optional<double> cpkOf(double mean, double deviation, std::optional<double> low,
                            std::optional<double> high);

}  // namespace stdf

#endif  // ATE_STDF_LOTREPORT_H_
