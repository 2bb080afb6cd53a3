#include "stdf/LotData.h"

#include "stdf/TableExport.h"

namespace stdf {

void LotCollector::add(const Record& record) {
  summary_.add(record);
  if (record.is("MIR") && identity_.empty()) {
    static const std::pair<const char*, const char*> SHOWN[] = {
        {"LOT_ID", "Lot"},           {"SBLOT_ID", "Sublot"},   {"PART_TYP", "Part type"},
        {"JOB_NAM", "Program"},      {"JOB_REV", "Revision"},  {"TEST_COD", "Test code"},
        {"TST_TEMP", "Temperature"}, {"OPER_NAM", "Operator"}, {"NODE_NAM", "Tester"}};
    for (const auto& [field, label] : SHOWN) {
      const std::string_view value = record.textValue(field);
      if (!value.empty()) identity_.emplace_back(label, std::string(value));
    }
    identity_.emplace_back("Started", isoUtc(record.unsignedValue("START_T")));
  } else if (record.is("WIR")) {
    const std::string id(record.textValue("WAFER_ID"));
    const auto [found, added] = waferIndex_.emplace(id, wafers_.size());
    if (added) {
      wafers_.emplace_back();
      wafers_.back().map.id = id;
    }
    current_ = found->second;
  } else if (record.is("WRR")) {
    current_.reset();
  } else if (record.is("PRR") && current_) {
    const std::int64_t x = record.signedValue("X_COORD", -32768);
    const std::int64_t y = record.signedValue("Y_COORD", -32768);
    if (x == -32768 || y == -32768) return;
    Wafer& wafer = wafers_[*current_];
    MapDie die;
    die.x = static_cast<int>(x);
    die.y = static_cast<int>(y);
    die.hardBin = static_cast<int>(record.unsignedValue("HARD_BIN"));
    die.site = static_cast<int>(record.unsignedValue("SITE_NUM"));
    die.partId = std::string(record.textValue("PART_ID"));
    die.passed = (record.unsignedValue("PART_FLG") & flag::PART_NOT_GOOD) == 0;
    ++wafer.map.parts;
    const auto [at, first] =
        wafer.dies.emplace(std::make_pair(die.x, die.y), wafer.map.dies.size());
    if (first) {
      wafer.map.dies.push_back(die);
    } else {
      // The same die again: its last part is its result.
      ++wafer.map.retests;
      die.tests = wafer.map.dies[at->second].tests + 1;
      wafer.map.dies[at->second] = die;
    }
  } else if (record.is("PTR")) {
    sample(ptrFields(record));
  }
}

void LotCollector::addPtr(const PtrFields& ptr) {
  if (ptr.present > 0) summary_.addPtr(ptr);
  sample(ptr);
}

void LotCollector::sample(const PtrFields& ptr) {
  if (ptr.present <= field::PTR_RESULT ||
      (ptr.testFlags & (flag::TEST_RESULT_INVALID | flag::TEST_NOT_EXECUTED)) != 0) {
    return;
  }
  ReportTest::nextRandom(random_);
  // Test numbers below 65536 (nearly all) through a flat table; the rest through the map.
  ReportTest* test = nullptr;
  if (ptr.testNumber < 65536) {
    if (byNumber_.size() <= ptr.testNumber) byNumber_.resize(ptr.testNumber + 1, nullptr);
    ReportTest*& slot = byNumber_[ptr.testNumber];
    if (slot == nullptr) slot = &values_[ptr.testNumber];
    test = slot;
  } else {
    test = &values_[ptr.testNumber];
  }
  test->add(ptr.result, random_);
}

void LotCollector::endFile(const std::string& path) {
  summary_.endFile();
  current_.reset();
  files_.push_back(path);
}

std::vector<MapWafer> LotCollector::wafers() const {
  std::vector<MapWafer> out;
  for (const Wafer& wafer : wafers_) out.push_back(wafer.map);
  return out;
}

LotReportData LotCollector::report() const {
  LotReportData lot;
  lot.identity = identity_;
  lot.files = files_;
  lot.parts = static_cast<long>(summary_.overall().parts);
  lot.good = static_cast<long>(summary_.overall().good);
  lot.tested = static_cast<long>(summary_.tested());
  for (const auto& [site, count] : summary_.sites()) {
    if (count.parts == 0) continue;
    ReportSite shown;
    shown.site = static_cast<int>(site);
    shown.parts = static_cast<long>(count.parts);
    shown.good = static_cast<long>(count.good);
    lot.sites.push_back(shown);
  }
  for (const BinCount& bin : summary_.hardBins()) {
    lot.bins.push_back(ReportBin{static_cast<int>(bin.number), bin.name, bin.passFail == 'P',
                                 static_cast<long>(bin.count), bin.derived});
  }
  lot.wafers = wafers();
  for (const TestStats& stats : summary_.tests()) {
    if (stats.kind != TestStats::Kind::PARAMETRIC) continue;
    const auto found = values_.find(stats.number);
    ReportTest test = found != values_.end() ? found->second : ReportTest();
    test.number = stats.number;
    test.name = stats.name;
    test.unit = stats.unit;
    test.low = stats.low;
    test.high = stats.high;
    test.executions = static_cast<long>(stats.count);
    test.fails = static_cast<long>(stats.fails);
    lot.tests.push_back(std::move(test));
  }
  return lot;
}

}  // namespace stdf
