// Figures of a datalog, accumulated record by record: yield per site and overall, hard and soft
// bins, statistics per test, and the last part of each site. Fed with the records of one or
// more STDF V4 files (StdfReader, StdfFollower); work and memory are bounded by sites, bins and
// tests, and a few dozen bytes per part for the rule below.
//
// What decides what:
// - A part is a PRR. It is good unless PART_FLG says failed (bit 3), pass/fail invalid (bit 4)
//   or abnormal end (bit 2). Its site is SITE_NUM. A DTR "site N not completed: WHY" between a
//   part's PIR and PRR says why it ended abnormally.
// - Final counts: a part superseded by a later one (stdf/Supersede.h: the same X,Y on a wafer,
//   flagged or not; a flagged retest of the same part id) leaves the site, overall and bin counts
//   once the later one comes, so that each die or part counts once, with its last result.
//   Constructed with everyPart, every part counts.
// - Bin counts come from the PRRs' HARD_BIN and SOFT_BIN. Names and P/F come from HBR/SBR
//   records: those with HEAD_NUM 255 (overall) win over per-site ones. A bin no HBR/SBR names
//   takes P/F from its first part (P when good, F when not) and no name.
// - Tests are keyed by TEST_NUM. A PTR's result counts in the statistics unless TEST_FLG says it
//   is invalid (bit 1) or the test was not executed (bit 4); the test failed when TEST_FLG bit 7
//   is set and bit 6 (pass/fail invalid) is not. Limits and units follow STDF's default rules:
//   the first PTR of a test in a file sets them; a later PTR changes them only where it carries
//   them (OPT_FLAG present and bits 4/5 clear, or bits 6/7 set for "no limit"). FTRs and MPRs
//   count executions and fails only.
// - The standard deviation is the sample one (n - 1); Cpk = min(high - mean, mean - low) / 3 sd,
//   only where both limits exist and sd > 0.
//
// Not thread-safe: one thread feeds and reads an object at a time.
#ifndef ATE_STDF_DATALOGSUMMARY_H_
#define ATE_STDF_DATALOGSUMMARY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "stdf/StdfReader.h"
#include "stdf/Supersede.h"

namespace stdf {

struct PartCount {
  std::uint64_t parts = 0;
  std::uint64_t good = 0;
  // good / parts, 0 without parts.
  double yield() const { return parts == 0 ? 0.0 : static_cast<double>(good) / parts; }
};

struct BinCount {
  std::uint32_t number = 0;
  std::string name;     // empty when no HBR/SBR names it
  char passFail = ' ';  // 'P' or 'F'; ' ' while neither the bin records nor any part say
  std::uint64_t count = 0;
  // The HBR/SBR leave pass or fail blank (or give none): passFail is that of the bin's parts.
  bool derived = false;
};

struct TestStats {
  enum class Kind { PARAMETRIC, FUNCTIONAL, MULTI };
  std::uint32_t number = 0;
  Kind kind = Kind::PARAMETRIC;
  std::string name;
  std::string unit;
  std::optional<double> low;
  std::optional<double> high;
  std::uint64_t count = 0;  // executions
  std::uint64_t fails = 0;
  std::uint64_t values = 0;  // valid results in the statistics below
  double min = 0;
  double max = 0;
  double mean = 0;
  double m2 = 0;  // sum of squared deviations from the mean (Welford)

  // Sample standard deviation; 0 below two values.
  double sd() const;
  std::optional<double> cpk() const;
};

// The last part a site finished.
struct PartOutcome {
  std::uint32_t site = 0;
  std::string partId;
  bool passed = false;
  std::uint32_t hardBin = 0;
  std::uint32_t softBin = 0;
  // The first test it failed, where one did.
  std::optional<std::uint32_t> failedTest;
  std::string failedTestName;
  // Testing ended abnormally (PART_FLG bit 2): the part was not completed. Why, when a DTR
  // "site N not completed: WHY" came between its PIR and PRR (libdatalog writes one).
  bool incomplete = false;
  std::string incompleteReason;
};

class DatalogSummary {
 public:
  explicit DatalogSummary(bool everyPart = false) : everyPart_(everyPart) {}

  // Takes one record into the figures. Records of files are fed in file order.
  void add(const Record& record);
  // The same for a PTR read in place (readPtr), for readers that go through many of them.
  void addPtr(const PtrFields& ptr);
  // Ends a file: the next records come from another file, with its own PTR defaults.
  void endFile();

  const std::map<std::uint32_t, PartCount>& sites() const { return sites_; }
  const PartCount& overall() const { return overall_; }
  // Every part tested, and those of them a later part superseded (counted in neither sites()
  // nor overall() nor the bins, unless every part counts).
  std::uint64_t tested() const { return tested_; }
  std::uint64_t superseded() const { return superseded_; }
  // Sorted by bin number.
  std::vector<BinCount> hardBins() const { return bins(hardBins_); }
  std::vector<BinCount> softBins() const { return bins(softBins_); }
  // In the order of their first record.
  const std::vector<TestStats>& tests() const { return tests_; }
  // By site.
  const std::map<std::uint32_t, PartOutcome>& lastParts() const { return lastParts_; }

 private:
  struct Bin {
    BinCount count;
    bool named = false;
    bool overallName = false;
  };
  struct OpenPart {
    std::optional<std::uint32_t> failedTest;
  };
  // What a part added to the counts, to take it out again when a later part supersedes it.
  struct Tally {
    std::uint32_t site = 0;
    std::uint32_t hardBin = 0;
    std::optional<std::uint32_t> softBin;
    bool good = false;
    bool counted = false;  // in the counts: not superseded yet
  };
  // Test numbers below this index a flat table; the others a map.
  static constexpr std::uint32_t FLAT_TESTS = 1u << 20;
  void count(const Tally& tally, int by);
  static std::vector<BinCount> bins(const std::map<std::uint32_t, Bin>& table);
  // The test of that number, made when new; first: its first record in the current file.
  TestStats& test(std::uint32_t number, TestStats::Kind kind, bool& first);
  const TestStats* findTest(std::uint32_t number) const;
  // A test's execution by the part open at key (head and site).
  void addTestResult(std::uint64_t flags, std::uint32_t part, TestStats& stats);
  void addPrr(const Record& record);
  void addDtr(const Record& record);
  void addBinRecord(const Record& record, std::map<std::uint32_t, Bin>& table);

  const bool everyPart_;
  SupersedeTracker tracker_;
  std::vector<Tally> tallies_;  // by the part's number in the files
  std::uint64_t tested_ = 0;
  std::uint64_t superseded_ = 0;
  std::string wafer_;  // the WIR's WAFER_ID, between a WIR and its WRR
  bool onWafer_ = false;
  std::map<std::uint32_t, PartCount> sites_;
  PartCount overall_;
  std::map<std::uint32_t, Bin> hardBins_;
  std::map<std::uint32_t, Bin> softBins_;
  std::vector<TestStats> tests_;
  // Each test's position in tests_ plus one (0: none yet), by its number.
  std::vector<std::size_t> flatIndex_;
  std::unordered_map<std::uint32_t, std::size_t> testIndex_;
  // Of each test in tests_: the file (counted by endFile) whose records last had it; a test's
  // first record in a file sets its defaults.
  std::vector<std::uint64_t> seenInFile_;
  std::uint64_t file_ = 1;
  // Parts between PIR and PRR, by head and site.
  std::unordered_map<std::uint32_t, OpenPart> open_;
  std::map<std::uint32_t, PartOutcome> lastParts_;
  // Why the part open on a site was not completed, by site, from a DTR before its PRR.
  std::map<std::uint32_t, std::string> incompleteReasons_;
};

}  // namespace stdf

#endif  // ATE_STDF_DATALOGSUMMARY_H_
