#include "stdf/TableExport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace stdf {

namespace {

constexpr std::uint32_t NONE = 0xFFFFFFFF;
constexpr std::int16_t NO_COORDINATE = -32768;
constexpr std::uint16_t NO_SOFT_BIN = 65535;
// Results are handed to zlib in pieces of about this size.
constexpr std::size_t RESULTS_CHUNK = 1 << 16;
// The most of one open part's rows held while waiting for its PRR (some 500,000 results): a
// file that never ends its parts must not fill the memory.
constexpr std::size_t OPEN_PART_LIMIT = 16 << 20;

const char PARTS_HEADER[] =
    "file,part_index,lot_id,sublot_id,wafer_id,head,site,part_id,x,y,hard_bin,soft_bin,passed,"
    "superseded,test_time_ms,num_tests,lot_start\n";
const char RESULTS_HEADER[] = "file,part_index,head,site,part_id,test_num,value,passed,flags\n";
const char TESTS_HEADER[] =
    "file,test_num,kind,name,unit,low_limit,high_limit,result_scale,low_limit_scale,"
    "high_limit_scale\n";

// Record types by REC_TYP << 8 | REC_SUB.
enum : unsigned {
  MIR = 1 << 8 | 10,
  WIR = 2 << 8 | 10,
  WRR = 2 << 8 | 20,
  PIR = 5 << 8 | 10,
  PRR = 5 << 8 | 20,
  TSR = 10 << 8 | 30,
  PTR = 15 << 8 | 10,
  MPR = 15 << 8 | 15,
  FTR = 15 << 8 | 20,
};

// Where a record of the test kinds keeps the fields of the tests table; NONE where it has none.
struct TestLayout {
  std::size_t text, opt, scale, low, units;  // scale: RES_SCAL, LLM_SCAL, HLM_SCAL follow
};
constexpr TestLayout PTR_LAYOUT{6, 8, 9, 12, 14};
constexpr TestLayout MPR_LAYOUT{9, 11, 12, 15, 20};
constexpr TestLayout FTR_LAYOUT{22, NONE, NONE, NONE, NONE};

void appendUnsigned(std::string& out, std::uint64_t value) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

void appendSigned(std::string& out, std::int64_t value) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

// An R4 value as the shortest text that reads back as the same float; nothing when not finite.
void appendFloat(std::string& out, float value) {
  if (!std::isfinite(value)) return;
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

std::uint64_t unsignedAt(const Record& record, std::size_t at, std::uint64_t fallback) {
  return record.fields.size() > at ? record.fields[at].u : fallback;
}

std::uint32_t headSite(const Record& record, std::size_t headAt) {
  return static_cast<std::uint32_t>(unsignedAt(record, headAt, 1) << 8 |
                                    unsignedAt(record, headAt + 1, 0));
}

std::string_view textAt(const Record& record, std::size_t at) {
  return record.fields.size() > at ? std::string_view(record.fields[at].text) : std::string_view();
}

}  // namespace

std::string hivePartitionValue(std::string_view value) {
  if (value.empty()) return "__HIVE_DEFAULT_PARTITION__";
  static const char HEX[] = "0123456789ABCDEF";
  static const std::string_view SPECIAL = "/\\=%:\"'#?*+<>|[]{}^";
  std::string out;
  out.reserve(value.size());
  for (std::size_t k = 0; k < value.size(); ++k) {
    const char c = value[k];
    const auto byte = static_cast<unsigned char>(c);
    // Windows drops a dot or a space that ends a file name: "A." would be the folder of "A".
    const bool last = k + 1 == value.size() && (c == '.' || c == ' ');
    if (last || byte < 0x20 || byte >= 0x7F || SPECIAL.find(c) != std::string_view::npos) {
      out += '%';
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

void appendCsvField(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string isoUtc(std::uint64_t seconds) {
  // Days since 1970-01-01 to a civil date in the proleptic Gregorian calendar, by eras of 400
  // years (146097 days) counted from 0000-03-01.
  const std::int64_t days = static_cast<std::int64_t>(seconds / 86400) + 719468;
  const std::uint64_t second = seconds % 86400;
  const std::int64_t era = days / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02u:%02u:%02uZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<unsigned>(second / 3600),
                static_cast<unsigned>(second / 60 % 60), static_cast<unsigned>(second % 60));
  return text;
}

struct TableExport::Part {
  std::uint32_t idAt = 0;  // PART_ID in partIds_
  std::uint32_t idLength = 0;
  std::uint32_t wafer = 0;     // 1 + its index in wafers_; 0 outside a wafer
  std::uint32_t testTime = 0;  // 0 is STDF's "missing"
  std::uint32_t numTest = NONE;
  std::uint32_t hardBin = NONE;
  std::uint16_t softBin = NO_SOFT_BIN;
  std::int16_t x = NO_COORDINATE;
  std::int16_t y = NO_COORDINATE;
  std::uint8_t head = 1;
  std::uint8_t site = 0;
  std::uint8_t flags = 0;
  bool superseded = false;
};

struct TableExport::Test {
  std::uint32_t number = 0;
  char kind = ' ';  // P, F or M, as TSR's TEST_TYP
  std::string name, unit;
  bool lowSet = false, highSet = false;  // the first record giving the limit came
  std::optional<float> low, high;
  std::optional<std::int64_t> scale[3];  // RES_SCAL, LLM_SCAL, HLM_SCAL
};

TableExport::TableExport(std::filesystem::path dir, std::string fileName)
    : dir_(std::move(dir)), fileName_(std::move(fileName)) {
  appendCsvField(fileField_, fileName_);
  fileField_ += ',';
}

TableExport::~TableExport() = default;

void TableExport::fail(const std::string& message) {
  if (error_.empty()) error_ = message;
}

std::unique_ptr<GzipFile> TableExport::openTable(const char* table) {
  const std::filesystem::path folder = dir_ / table /
                                       ("part_type=" + hivePartitionValue(partType_)) /
                                       ("lot=" + hivePartitionValue(lot_));
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    fail("cannot make " + folder.string() + ": " + error.message());
    return nullptr;
  }
  const std::string stem = std::filesystem::path(fileName_).stem().string();
  auto file = std::make_unique<GzipFile>(folder / (stem + ".csv.gz"));
  if (file->failed()) {
    fail(file->error());
    return nullptr;
  }
  return file;
}

bool TableExport::openResults() {
  if (results_ || !error_.empty()) return results_ != nullptr;
  results_ = openTable("results");
  if (results_) results_->write(RESULTS_HEADER);
  return results_ != nullptr;
}

void TableExport::flushResults(bool force) {
  if (resultsBuffer_.size() < RESULTS_CHUNK && !force) return;
  if (openResults()) results_->write(resultsBuffer_);
  resultsBuffer_.clear();
}

void TableExport::writeKeyless(std::uint32_t key) {
  std::string& rows = open_[key].rows;
  if (rows.empty()) return;
  std::string prefix = fileField_ + ',';
  appendUnsigned(prefix, key >> 8);
  prefix += ',';
  appendUnsigned(prefix, key & 0xFF);
  prefix += ",,";
  writeRows(rows, prefix);
  rows.clear();
}

void TableExport::writeRows(const std::string& rows, const std::string& prefix) {
  std::size_t at = 0;
  while (at < rows.size()) {
    const std::size_t end = rows.find('\n', at) + 1;
    resultsBuffer_ += prefix;
    resultsBuffer_.append(rows, at, end - at);
    at = end;
    flushResults(false);
  }
}

TableExport::Test& TableExport::test(std::uint32_t number, char kind) {
  const auto [at, added] = testIndex_.emplace(number, tests_.size());
  if (added) {
    tests_.emplace_back();
    tests_.back().number = number;
    tests_.back().kind = kind;
  }
  return tests_[at->second];
}

void TableExport::addResult(const Record& record, bool parametric) {
  const std::vector<Field>& f = record.fields;
  if (f.empty()) return;
  const auto number = static_cast<std::uint32_t>(f[field::TEST_NUM].u);
  const std::uint64_t flags = unsignedAt(record, field::TEST_FLG, 0);
  const std::uint32_t key = headSite(record, field::TEST_HEAD_NUM);
  std::string& rows = open_[key].rows;
  appendUnsigned(rows, number);
  rows += ',';
  if (parametric && f.size() > field::PTR_RESULT &&
      !(flags & (flag::TEST_RESULT_INVALID | flag::TEST_NOT_EXECUTED))) {
    appendFloat(rows, static_cast<float>(f[field::PTR_RESULT].r));
  }
  rows += ',';
  if (f.size() > field::TEST_FLG &&
      !(flags & (flag::TEST_NO_PASS_FAIL | flag::TEST_NOT_EXECUTED))) {
    rows += flags & flag::TEST_FAILED ? "false" : "true";
  }
  rows += ',';
  if (f.size() > field::TEST_FLG) appendUnsigned(rows, flags);
  rows += '\n';
  if (rows.size() > OPEN_PART_LIMIT) writeKeyless(key);
}

void TableExport::addPrr(const Record& record) {
  const std::vector<Field>& f = record.fields;
  namespace p = field;
  Part part;
  part.head = static_cast<std::uint8_t>(unsignedAt(record, p::PRR_HEAD_NUM, 1));
  part.site = static_cast<std::uint8_t>(unsignedAt(record, p::PRR_SITE_NUM, 0));
  part.flags = static_cast<std::uint8_t>(unsignedAt(record, p::PRR_PART_FLG, 0));
  part.numTest = static_cast<std::uint32_t>(unsignedAt(record, p::PRR_NUM_TEST, NONE));
  part.hardBin = static_cast<std::uint32_t>(unsignedAt(record, p::PRR_HARD_BIN, NONE));
  part.softBin = static_cast<std::uint16_t>(unsignedAt(record, p::PRR_SOFT_BIN, NO_SOFT_BIN));
  if (f.size() > p::PRR_Y_COORD) {
    part.x = static_cast<std::int16_t>(f[p::PRR_X_COORD].i);
    part.y = static_cast<std::int16_t>(f[p::PRR_Y_COORD].i);
  }
  part.testTime = static_cast<std::uint32_t>(unsignedAt(record, p::PRR_TEST_T, 0));
  const std::string_view partId = textAt(record, p::PRR_PART_ID);
  part.idAt = static_cast<std::uint32_t>(partIds_.size());
  part.idLength = static_cast<std::uint32_t>(partId.size());
  partIds_ += partId;
  if (onWafer_) part.wafer = static_cast<std::uint32_t>(wafers_.size());

  PartIdentity identity;
  identity.onWafer = onWafer_;
  if (onWafer_) identity.wafer = wafers_.back();
  identity.head = part.head;
  if (part.x != NO_COORDINATE && part.y != NO_COORDINATE) identity.xy = {part.x, part.y};
  identity.partId = partId;
  identity.partFlag = part.flags;
  if (const auto earlier = supersede_.add(parts_.size(), identity)) {
    parts_[*earlier].superseded = true;
  }
  parts_.push_back(part);

  // The part's results, each row now led by its key.
  Open& open = open_[static_cast<std::uint32_t>(part.head) << 8 | part.site];
  if (!open.rows.empty()) {
    std::string prefix = fileField_;
    appendUnsigned(prefix, parts_.size());
    prefix += ',';
    appendUnsigned(prefix, part.head);
    prefix += ',';
    appendUnsigned(prefix, part.site);
    prefix += ',';
    appendCsvField(prefix, partId);
    prefix += ',';
    writeRows(open.rows, prefix);
    open.rows.clear();
  }
}

void TableExport::addTsr(const Record& record) {
  if (record.fields.size() <= 3) return;
  const std::string_view type = textAt(record, 2);
  Test& stats = test(static_cast<std::uint32_t>(record.fields[3].u), type.empty() ? ' ' : type[0]);
  if (stats.name.empty()) stats.name = textAt(record, 7);
}

void TableExport::add(const Record& record) {
  sawRecords_ = true;
  const unsigned kind = static_cast<unsigned>(record.type) << 8 | record.sub;
  switch (kind) {
    case MIR:
      start_ = record.fields.size() > 1 ? std::optional(record.fields[1].u) : std::nullopt;
      lot_ = textAt(record, 8);
      partType_ = textAt(record, 9);
      sublot_ = textAt(record, 14);
      return;
    case WIR:
      wafers_.emplace_back(textAt(record, 3));
      onWafer_ = true;
      return;
    case WRR:
      onWafer_ = false;
      return;
    case PIR:
      // A part that never got its PRR: its results go out without the part's key.
      writeKeyless(headSite(record, field::PIR_HEAD_NUM));
      return;
    case PRR:
      addPrr(record);
      return;
    case TSR:
      addTsr(record);
      return;
    case PTR:
    case MPR:
    case FTR:
      break;
    default:
      return;
  }
  if (record.fields.empty()) return;
  const TestLayout& layout = kind == PTR ? PTR_LAYOUT : kind == MPR ? MPR_LAYOUT : FTR_LAYOUT;
  const char letter = kind == PTR ? 'P' : kind == MPR ? 'M' : 'F';
  Test& stats = test(static_cast<std::uint32_t>(record.fields[field::TEST_NUM].u), letter);
  // A TSR that came first may have left the kind open.
  if (stats.kind == ' ') stats.kind = letter;
  const std::vector<Field>& f = record.fields;
  if (stats.name.empty()) stats.name = textAt(record, layout.text);
  if (layout.opt != NONE) {
    // STDF's defaults: the first record of a test that gives a limit (or says there is none)
    // sets it; later records that leave it to the default (OPT_FLAG bits 4 and 5) or carry no
    // OPT_FLAG change nothing, and the table keeps the first.
    if (f.size() > layout.opt) {
      const std::uint64_t opt = f[layout.opt].u;
      auto limit = [&](bool& set, std::optional<float>& value, std::size_t at, std::uint64_t none,
                       std::uint64_t useDefault) {
        if (set) return;
        if (opt & none) {
          set = true;
        } else if (!(opt & useDefault) && f.size() > at) {
          set = true;
          value = static_cast<float>(f[at].r);
        }
      };
      limit(stats.lowSet, stats.low, layout.low, flag::OPT_NO_LOW_LIMIT,
            flag::OPT_LOW_LIMIT_DEFAULT);
      limit(stats.highSet, stats.high, layout.low + 1, flag::OPT_NO_HIGH_LIMIT,
            flag::OPT_HIGH_LIMIT_DEFAULT);
      // OPT_FLAG bit 0: RES_SCAL not valid; bits 4/6 and 5/7: the limit's scale not valid.
      const std::uint64_t invalid[3] = {0x01, 0x50, 0xA0};
      for (std::size_t k = 0; k < 3; ++k) {
        if (!stats.scale[k] && !(opt & invalid[k]) && f.size() > layout.scale + k) {
          stats.scale[k] = f[layout.scale + k].i;
        }
      }
    }
    if (stats.unit.empty()) stats.unit = textAt(record, layout.units);
  }
  if (kind != MPR) addResult(record, kind == PTR);
}

bool TableExport::finish() {
  if (!sawRecords_) return true;
  // Results of parts that never ended, in the order of their head and site.
  std::vector<std::uint32_t> left;
  for (const auto& [key, open] : open_) {
    if (!open.rows.empty()) left.push_back(key);
  }
  std::sort(left.begin(), left.end());
  for (const std::uint32_t key : left) writeKeyless(key);
  flushResults(true);

  std::unique_ptr<GzipFile> parts = openTable("parts");
  if (parts) {
    std::string lotFields = ",";
    appendCsvField(lotFields, lot_);
    lotFields += ',';
    appendCsvField(lotFields, sublot_);
    lotFields += ',';
    const std::string start = start_ ? isoUtc(*start_) : std::string();
    std::string rows = PARTS_HEADER;
    for (std::size_t k = 0; k < parts_.size(); ++k) {
      const Part& part = parts_[k];
      rows += fileField_;
      appendUnsigned(rows, k + 1);
      rows += lotFields;
      if (part.wafer != 0) appendCsvField(rows, wafers_[part.wafer - 1]);
      rows += ',';
      appendUnsigned(rows, part.head);
      rows += ',';
      appendUnsigned(rows, part.site);
      rows += ',';
      appendCsvField(rows, std::string_view(partIds_).substr(part.idAt, part.idLength));
      rows += ',';
      if (part.x != NO_COORDINATE) appendSigned(rows, part.x);
      rows += ',';
      if (part.y != NO_COORDINATE) appendSigned(rows, part.y);
      rows += ',';
      if (part.hardBin != NONE) appendUnsigned(rows, part.hardBin);
      rows += ',';
      if (part.softBin != NO_SOFT_BIN) appendUnsigned(rows, part.softBin);
      rows += ',';
      // Pass/fail not valid (PART_FLG bit 4): neither passed nor failed.
      if (!(part.flags & flag::PART_NO_PASS_FAIL)) {
        rows += part.flags & flag::PART_NOT_GOOD ? "false" : "true";
      }
      rows += part.superseded ? ",true," : ",false,";
      if (part.testTime != 0) appendUnsigned(rows, part.testTime);
      rows += ',';
      if (part.numTest != NONE) appendUnsigned(rows, part.numTest);
      rows += ',';
      rows += start;
      rows += '\n';
      if (rows.size() >= RESULTS_CHUNK) {
        parts->write(rows);
        rows.clear();
      }
    }
    parts->write(rows);
  }

  std::unique_ptr<GzipFile> tests = openTable("tests");
  if (tests) {
    std::string rows = TESTS_HEADER;
    for (const Test& test : tests_) {
      rows += fileField_;
      appendUnsigned(rows, test.number);
      rows += ',';
      if (test.kind != ' ') rows += test.kind;
      rows += ',';
      appendCsvField(rows, test.name);
      rows += ',';
      appendCsvField(rows, test.unit);
      rows += ',';
      if (test.low) appendFloat(rows, *test.low);
      rows += ',';
      if (test.high) appendFloat(rows, *test.high);
      for (const auto& scale : test.scale) {
        rows += ',';
        if (scale) appendSigned(rows, *scale);
      }
      rows += '\n';
    }
    tests->write(rows);
  }

  for (GzipFile* file : {results_.get(), parts.get(), tests.get()}) {
    if (file == nullptr || !error_.empty()) continue;
    if (!file->commit()) fail(file->error());
  }
  return error_.empty();
}

}  // namespace stdf
