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
  // Test numbers are mostly small: those index a flat table, the others a map.
  std::size_t* slot = nullptr;
  if (number < FLAT_TESTS) {
    if (flatIndex_.size() <= number) flatIndex_.resize(number + 1, 0);
    slot = &flatIndex_[number];
  } else {
    slot = &testIndex_[number];
  }
  if (*slot == 0) {
    tests_.emplace_back();
    tests_.back().number = number;
    tests_.back().kind = kind;
    seenInFile_.push_back(0);
    *slot = tests_.size();
  }
  const std::size_t index = *slot - 1;
  first = seenInFile_[index] != file_;
  seenInFile_[index] = file_;
  return tests_[index];
}

const TestStats* DatalogSummary::findTest(std::uint32_t number) const {
  std::size_t slot = 0;
  if (number < FLAT_TESTS) {
    slot = number < flatIndex_.size() ? flatIndex_[number] : 0;
  } else if (const auto found = testIndex_.find(number); found != testIndex_.end()) {
    slot = found->second;
  }
  return slot == 0 ? nullptr : &tests_[slot - 1];
}

void DatalogSummary::addTestResult(std::uint64_t flags, std::uint32_t part, TestStats& stats) {
  if (flags & TEST_NOT_EXECUTED) return;
  ++stats.count;
  if ((flags & TEST_FAILED) && !(flags & TEST_NO_PASS_FAIL)) {
    ++stats.fails;
    OpenPart& open = open_[part];
    if (!open.failedTest) open.failedTest = stats.number;
  }
}

void DatalogSummary::addPtr(const PtrFields& ptr) {
  bool first = false;
  TestStats& stats = test(ptr.testNumber, TestStats::Kind::PARAMETRIC, first);
  const std::size_t size = ptr.present;
  if (stats.name.empty() && size > field::PTR_TEST_TXT) stats.name = ptr.text;
  const bool hasOpt = size > field::PTR_OPT_FLAG;
  const std::uint64_t opt = ptr.optFlag;
  auto limit = [&](std::optional<double>& value, std::size_t at, double given, std::uint64_t none,
                   std::uint64_t useDefault) {
    if (first) value.reset();
    if (!hasOpt) return;
    if (opt & none) {
      value.reset();
    } else if (!(opt & useDefault) && size > at) {
      value = given;
    }
  };
  limit(stats.low, field::PTR_LO_LIMIT, ptr.lowLimit, OPT_NO_LOW_LIMIT, OPT_LOW_LIMIT_DEFAULT);
  limit(stats.high, field::PTR_HI_LIMIT, ptr.highLimit, OPT_NO_HIGH_LIMIT, OPT_HIGH_LIMIT_DEFAULT);
  if (size > field::PTR_UNITS && (first || !ptr.units.empty())) stats.unit = ptr.units;

  const std::uint64_t flags = size > field::TEST_FLG ? ptr.testFlags : 0;
  addTestResult(flags, size > field::TEST_SITE_NUM ? headSiteKey(ptr.head, ptr.site) : 0, stats);
  if ((flags & (TEST_NOT_EXECUTED | TEST_RESULT_INVALID)) || size <= field::PTR_RESULT) return;
  const double value = ptr.result;
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
    if (bin.count.passFail == ' ') {
      bin.count.passFail = tally.good ? 'P' : 'F';
      bin.count.derived = true;
    }
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
    Tally& before = tallies_[*earlier];
    if (before.counted) {
      ++superseded_;
      if (!everyPart_) count(before, -1);
      before.counted = false;
    }
  }
  count(tally, +1);
  tally.counted = true;
  tallies_.push_back(tally);

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
      outcome.failedTestName = findTest(*outcome.failedTest)->name;
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
  // A space or a NUL is allowed and says nothing: the bin's parts say then.
  const char pf = record.fields.size() > field::BIN_PF && !record.fields[field::BIN_PF].text.empty()
                      ? record.fields[field::BIN_PF].text[0]
                      : ' ';
  if (pf == 'P' || pf == 'F') {
    bin.count.passFail = pf;
    bin.count.derived = false;
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
  // By REC_TYP and REC_SUB: the part and test records come millions of times.
  constexpr auto key = [](RecordType type) { return type.typ << 8 | type.sub; };
  switch (record.type << 8 | record.sub) {
    case key(PTR_RECORD):
      if (!record.fields.empty()) addPtr(ptrFields(record));
      break;
    case key(PIR_RECORD):
      open_[headSiteKey(record, field::PIR_HEAD_NUM)] = OpenPart();
      if (!incompleteReasons_.empty()) {
        incompleteReasons_.erase(
            static_cast<std::uint32_t>(unsignedAt(record, field::PIR_SITE_NUM)));
      }
      break;
    case key(PRR_RECORD):
      addPrr(record);
      break;
    case key(DTR_RECORD):
      addDtr(record);
      break;
    case key(WIR_RECORD):
      wafer_ = std::string(record.textValue("WAFER_ID"));
      onWafer_ = true;
      break;
    case key(WRR_RECORD):
      onWafer_ = false;
      break;
    case key(FTR_RECORD):
    case key(MPR_RECORD): {
      if (record.fields.empty()) return;
      bool first = false;
      const bool ftr = RecordType{record.type, record.sub} == FTR_RECORD;
      TestStats& stats = test(static_cast<std::uint32_t>(record.fields[field::TEST_NUM].u),
                              ftr ? TestStats::Kind::FUNCTIONAL : TestStats::Kind::MULTI, first);
      const std::size_t textAt =
          ftr ? std::size_t{field::FTR_TEST_TXT} : std::size_t{field::MPR_TEST_TXT};
      if (stats.name.empty() && record.fields.size() > textAt) {
        stats.name = record.fields[textAt].text;
      }
      addTestResult(unsignedAt(record, field::TEST_FLG), headSiteKey(record, field::TEST_HEAD_NUM),
                    stats);
      break;
    }
    case key(HBR_RECORD):
      addBinRecord(record, hardBins_);
      break;
    case key(SBR_RECORD):
      addBinRecord(record, softBins_);
      break;
    default:
      break;
  }
}

void DatalogSummary::endFile() {
  ++file_;
  open_.clear();
  onWafer_ = false;
}

}  // namespace stdf
