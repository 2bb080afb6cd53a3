#include "stdf/DatalogSummary.h"

#include <algorithm>
#include <cmath>

namespace stdf {

namespace {

using namespace flag;

std::uint64_t unsignedAt(const Record& record, std::size_t at, std::uint64_t fallback = 0) {
  return record.fields.size() > at ? record.fields[at].u : fallback;
}

}  // namespace

double TestStats::sd() const {
  return values < 2 ? 0.0 : std::sqrt(m2 / static_cast<double>(values - 1));
}

std::optional<double> TestStats::cpk() const {
  const double s = sd();
  if (!low || !high || values < 2 || !(s > 0)) return std::nullopt;
  return std::min(*high - mean, mean - *low) / (3 * s);
}

std::vector<BinCount> DatalogSummary::bins(const std::map<std::uint32_t, Bin>& table) {
  std::vector<BinCount> out;
  out.reserve(table.size());
  for (const auto& entry : table) {
    // A bin whose only parts were tested again holds none of the final ones.
    if (entry.second.count.count > 0) out.push_back(entry.second.count);
  }
  return out;
}

TestStats& DatalogSummary::test(std::uint32_t number, TestStats::Kind kind, bool& first) {
  auto found = testIndex_.find(number);
  if (found == testIndex_.end()) {
    found = testIndex_.emplace(number, tests_.size()).first;
    tests_.emplace_back();
    tests_.back().number = number;
    tests_.back().kind = kind;
  }
  bool& seen = seenInFile_[number];
  first = !seen;
  seen = true;
  return tests_[found->second];
}

void DatalogSummary::addTestResult(const Record& record, TestStats& stats) {
  const std::uint64_t flags = unsignedAt(record, field::TEST_FLG);
  if (flags & TEST_NOT_EXECUTED) return;
  ++stats.count;
  if ((flags & TEST_FAILED) && !(flags & TEST_NO_PASS_FAIL)) {
    ++stats.fails;
    OpenPart& part = open_[headSiteKey(record, field::TEST_HEAD_NUM)];
    if (!part.failedTest) part.failedTest = stats.number;
  }
}

void DatalogSummary::addPtr(const Record& record) {
  bool first = false;
  TestStats& stats = test(static_cast<std::uint32_t>(record.fields[field::TEST_NUM].u),
                          TestStats::Kind::PARAMETRIC, first);
  const std::size_t size = record.fields.size();
  if (stats.name.empty() && size > field::PTR_TEST_TXT) {
    stats.name = record.fields[field::PTR_TEST_TXT].text;
  }
  const bool hasOpt = size > field::PTR_OPT_FLAG;
  const std::uint64_t opt = unsignedAt(record, field::PTR_OPT_FLAG);
  auto limit = [&](std::optional<double>& value, std::size_t at, std::uint64_t none,
                   std::uint64_t useDefault) {
    if (first) value.reset();
    if (!hasOpt) return;
    if (opt & none) {
      value.reset();
    } else if (!(opt & useDefault) && size > at) {
      value = record.fields[at].r;
    }
  };
  limit(stats.low, field::PTR_LO_LIMIT, OPT_NO_LOW_LIMIT, OPT_LOW_LIMIT_DEFAULT);
  limit(stats.high, field::PTR_HI_LIMIT, OPT_NO_HIGH_LIMIT, OPT_HIGH_LIMIT_DEFAULT);
  if (size > field::PTR_UNITS && (first || !record.fields[field::PTR_UNITS].text.empty())) {
    stats.unit = record.fields[field::PTR_UNITS].text;
  }

  addTestResult(record, stats);
  const std::uint64_t flags = unsignedAt(record, field::TEST_FLG);
  if ((flags & (TEST_NOT_EXECUTED | TEST_RESULT_INVALID)) || size <= field::PTR_RESULT) return;
  const double value = record.fields[field::PTR_RESULT].r;
  if (!std::isfinite(value)) return;
  if (stats.values == 0) {
    stats.min = stats.max = value;
  } else {
    stats.min = std::min(stats.min, value);
    stats.max = std::max(stats.max, value);
  }
  ++stats.values;
  const double delta = value - stats.mean;
  stats.mean += delta / static_cast<double>(stats.values);
  stats.m2 += delta * (value - stats.mean);
}

void DatalogSummary::count(const Tally& tally, int by) {
  // Unsigned arithmetic wraps: adding -1 takes one away.
  const auto add = [by](std::uint64_t& n) { n += static_cast<std::uint64_t>(by); };
  PartCount& counts = sites_[tally.site];
  add(counts.parts);
  add(overall_.parts);
  if (tally.good) {
    add(counts.good);
    add(overall_.good);
  }
  const auto countBin = [&](std::map<std::uint32_t, Bin>& table, std::uint32_t number) {
    Bin& bin = table[number];
    bin.count.number = number;
    add(bin.count.count);
    if (!bin.named && bin.count.passFail == ' ') bin.count.passFail = tally.good ? 'P' : 'F';
  };
  countBin(hardBins_, tally.hardBin);
  if (tally.softBin) countBin(softBins_, *tally.softBin);
}

void DatalogSummary::addPrr(const Record& record) {
  const std::uint32_t key = headSiteKey(record, field::PRR_HEAD_NUM);
  const auto site = static_cast<std::uint32_t>(unsignedAt(record, field::PRR_SITE_NUM));
  const std::uint64_t flags = unsignedAt(record, field::PRR_PART_FLG);
  const bool good = !(flags & PART_NOT_GOOD);
  Tally tally;
  tally.site = site;
  tally.good = good;
  tally.hardBin = static_cast<std::uint32_t>(unsignedAt(record, field::PRR_HARD_BIN));
  // SOFT_BIN 65535 means the part has no soft bin.
  const std::uint64_t softBin = unsignedAt(record, field::PRR_SOFT_BIN, 65535);
  if (softBin != 65535) tally.softBin = static_cast<std::uint32_t>(softBin);

  PartOutcome outcome;
  if (record.fields.size() > field::PRR_PART_ID) {
    outcome.partId = record.fields[field::PRR_PART_ID].text;
  }
  PartIdentity identity;
  if (onWafer_) identity.wafer = wafer_;
  identity.onWafer = onWafer_;
  identity.head = static_cast<std::uint8_t>(unsignedAt(record, field::PRR_HEAD_NUM, 1));
  if (record.fields.size() > field::PRR_Y_COORD) {
    const std::int64_t x = record.fields[field::PRR_X_COORD].i;
    const std::int64_t y = record.fields[field::PRR_Y_COORD].i;
    if (x != -32768 && y != -32768) identity.xy = {static_cast<int>(x), static_cast<int>(y)};
  }
  identity.partId = outcome.partId;
  identity.partFlag = static_cast<std::uint8_t>(flags);
  const std::size_t number = tested_++;
  if (const std::optional<std::size_t> earlier = tracker_.add(number, identity)) {
    const auto found = tallies_.find(*earlier);
    if (found != tallies_.end()) {
      ++superseded_;
      if (!everyPart_) count(found->second, -1);
      tallies_.erase(found);
    }
  }
  count(tally, +1);
  tallies_[number] = tally;

  outcome.site = site;
  outcome.passed = good;
  outcome.hardBin = tally.hardBin;
  if (tally.softBin) outcome.softBin = *tally.softBin;
  outcome.incomplete = (flags & PART_ABNORMAL_END) != 0;
  const auto reason = incompleteReasons_.find(site);
  if (reason != incompleteReasons_.end()) {
    if (outcome.incomplete) outcome.incompleteReason = std::move(reason->second);
    incompleteReasons_.erase(reason);
  }
  const auto part = open_.find(key);
  if (part != open_.end()) {
    if (part->second.failedTest) {
      outcome.failedTest = part->second.failedTest;
      outcome.failedTestName = tests_[testIndex_.at(*outcome.failedTest)].name;
    }
    open_.erase(part);
  }
  lastParts_[site] = std::move(outcome);
}

void DatalogSummary::addBinRecord(const Record& record, std::map<std::uint32_t, Bin>& table) {
  if (record.fields.size() <= field::BIN_NUM) return;
  const bool overall = record.fields[field::BIN_HEAD_NUM].u == 255;
  const auto number = static_cast<std::uint32_t>(record.fields[field::BIN_NUM].u);
  Bin& bin = table[number];
  bin.count.number = number;
  if (bin.overallName || (bin.named && !overall)) return;
  bin.named = true;
  bin.overallName = overall;
  if (record.fields.size() > field::BIN_PF) {
    const std::string& pf = record.fields[field::BIN_PF].text;
    bin.count.passFail = pf.empty() ? ' ' : pf[0];
  }
  if (record.fields.size() > field::BIN_NAM) bin.count.name = record.fields[field::BIN_NAM].text;
}

void DatalogSummary::addDtr(const Record& record) {
  // "site N not completed: WHY"
  static const std::string SITE = "site ", NOT_COMPLETED = " not completed: ";
  if (record.fields.empty()) return;
  const std::string& text = record.fields[0].text;
  if (text.compare(0, SITE.size(), SITE) != 0) return;
  const std::size_t digits = text.find_first_not_of("0123456789", SITE.size());
  if (digits == SITE.size() || digits == std::string::npos || digits - SITE.size() > 5 ||
      text.compare(digits, NOT_COMPLETED.size(), NOT_COMPLETED) != 0) {
    return;
  }
  const auto site =
      static_cast<std::uint32_t>(std::stoul(text.substr(SITE.size(), digits - SITE.size())));
  incompleteReasons_[site] = text.substr(digits + NOT_COMPLETED.size());
}

void DatalogSummary::add(const Record& record) {
  if (record.is("PIR")) {
    open_[headSiteKey(record, field::PIR_HEAD_NUM)] = OpenPart();
    incompleteReasons_.erase(static_cast<std::uint32_t>(unsignedAt(record, field::PIR_SITE_NUM)));
  } else if (record.is("DTR")) {
    addDtr(record);
  } else if (record.is("PRR")) {
    addPrr(record);
  } else if (record.is("WIR")) {
    wafer_ = std::string(record.textValue("WAFER_ID"));
    onWafer_ = true;
  } else if (record.is("WRR")) {
    onWafer_ = false;
  } else if (record.is("PTR")) {
    if (!record.fields.empty()) addPtr(record);
  } else if (record.is("FTR") || record.is("MPR")) {
    if (record.fields.empty()) return;
    bool first = false;
    const bool ftr = record.is("FTR");
    TestStats& stats = test(static_cast<std::uint32_t>(record.fields[field::TEST_NUM].u),
                            ftr ? TestStats::Kind::FUNCTIONAL : TestStats::Kind::MULTI, first);
    const std::size_t textAt =
        ftr ? std::size_t{field::FTR_TEST_TXT} : std::size_t{field::MPR_TEST_TXT};
    if (stats.name.empty() && record.fields.size() > textAt) {
      stats.name = record.fields[textAt].text;
    }
    addTestResult(record, stats);
  } else if (record.is("HBR")) {
    addBinRecord(record, hardBins_);
  } else if (record.is("SBR")) {
    addBinRecord(record, softBins_);
  }
}

void DatalogSummary::endFile() {
  seenInFile_.clear();
  open_.clear();
  onWafer_ = false;
}

}  // namespace stdf
