// What `ate-datalog pat limits` and `pat apply` write: the limits file; the re-binned copy of each
// datalog; the outliers' table; each wafer's map after screening (SEMI E142 XML and a text map
// of hexadecimal bins); the lot's report with its screening.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "stdf/DatalogReport.h"
#include "stdf/DatalogTool.h"
#include "stdf/LotData.h"
#include "stdf/Pat.h"
#include "stdf/TableExport.h"
#include "stdf/WaferMap.h"

namespace stdf {

namespace {

std::string readWhole(const std::string& path, bool& ok) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary | std::ios::ate);
  std::string text;
  if (in) {
    text.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
  }
  ok = in.is_open() && !in.bad() && static_cast<std::size_t>(in.gcount()) == text.size();
  return text;
}

bool writeWhole(const std::string& path, const std::string& text, std::ostream& err) {
  return writeOutputFile(path, text, err);
}

// Reads the lot's files in order; the tool's status.
int readLot(const std::vector<std::string>& files, PatLot& lot, std::ostream& err,
            LotCollector* collector = nullptr) {
  for (const std::string& path : files) {
    std::string error;
    if (!lot.read(path, error, collector)) {
      const bool opened = error.compare(0, 12, "cannot open ") != 0;
      err << "ate-datalog: " << error
          << (opened ? "; outlier screening reads whole files only\n" : "\n");
      return opened ? DATALOG_DAMAGED : DATALOG_USAGE;
    }
  }
  return DATALOG_OK;
}

std::string nowUtc() { return isoUtc(static_cast<std::uint64_t>(std::time(nullptr))); }

std::string fileName(const std::string& id, const char* fallback) {
  return outputFileName(id, fallback);
}

// Output names that never repeat: name, name_2, ...
class Names {
 public:
  std::string unique(const std::string& name, const std::string& suffix) {
    std::string chosen = name;
    for (int n = 2; !taken_.insert(chosen + suffix).second; ++n) {
      chosen = name + "_" + std::to_string(n);
    }
    return chosen + suffix;
  }

 private:
  std::set<std::string> taken_;
};

// ----- the re-binned datalog

// Record bytes in a file's byte order.
class Encoder {
 public:
  explicit Encoder(ByteOrder order) : big_(order == ByteOrder::BIG) {}
  Encoder& u1(std::uint64_t v) { return uint(v, 1); }
  Encoder& u2(std::uint64_t v) { return uint(v, 2); }
  Encoder& u4(std::uint64_t v) { return uint(v, 4); }
  Encoder& c1(char c) {
    data_ += c;
    return *this;
  }
  Encoder& cn(const std::string& text) {
    const std::size_t size = std::min<std::size_t>(text.size(), 255);
    u1(size);
    data_.append(text, 0, size);
    return *this;
  }
  // The record with its header.
  std::string record(RecordType type) const {
    Encoder header(big_ ? ByteOrder::BIG : ByteOrder::LITTLE);
    header.u2(data_.size()).u1(type.typ).u1(type.sub);
    return header.data_ + data_;
  }

 private:
  Encoder& uint(std::uint64_t v, int n) {
    for (int k = 0; k < n; ++k)
      data_ += static_cast<char>((v >> (8 * (big_ ? n - 1 - k : k))) & 0xff);
    return *this;
  }
  bool big_;
  std::string data_;
};

std::uint64_t readUint(const std::uint8_t* at, int n, ByteOrder order) {
  std::uint64_t v = 0;
  for (int k = 0; k < n; ++k) {
    const int shift = 8 * (order == ByteOrder::BIG ? n - 1 - k : k);
    v |= static_cast<std::uint64_t>(at[k]) << shift;
  }
  return v;
}

void writeUint(std::uint8_t* at, std::uint64_t v, int n, ByteOrder order) {
  for (int k = 0; k < n; ++k) {
    const int shift = 8 * (order == ByteOrder::BIG ? n - 1 - k : k);
    at[k] = static_cast<std::uint8_t>((v >> shift) & 0xff);
  }
}

// Values and limits as the datalog's own (R4) precision gives them.
std::string number(double value) { return formatNumber(value, true); }

std::string limitText(const std::optional<double>& value) {
  return value ? number(*value) : std::string();
}

// The DTR that names an outlier.
std::string outlierText(const PatLot& lot, const PatOutlier& outlier, const PatRules& rules) {
  const PatRules::Rule& rule = rules[outlier.rule];
  std::string text = std::string("ate:pat rule=") + patRuleName(outlier.rule);
  if (outlier.test) {
    std::string name;
    for (const PatLot::Test& test : lot.tests()) {
      if (test.number == *outlier.test) name = test.name;
    }
    text += " test=" + std::to_string(*outlier.test) + " name=" + fileName(name, "-") +
            " value=" + number(outlier.value) + " low=" + limitText(outlier.low) +
            " high=" + limitText(outlier.high);
  } else {
    text += " " + outlier.detail;
  }
  return text + " hbin=" + std::to_string(rule.hardBin) + " sbin=" + std::to_string(rule.softBin);
}

struct BinEntry {
  bool hard = true;
  std::uint8_t head = 255, site = 0;
  std::uint16_t bin = 0;
  std::uint32_t count = 0;
  char passFail = ' ';
  std::string name;
};

// A copy of the file with its outliers re-binned: each outlier's PRR takes its rule's bins and
// is followed by a DTR naming the rule, the test, the value and the limits; the bin summaries
// (HBR, SBR) are written again at the place of the first, with the outliers moved to their
// bins; PCR and WRR good counts lose the outliers. Everything else is copied byte for byte.
bool rewrite(const PatLot& lot, std::uint32_t fileIndex, const std::vector<PatOutlier>& outliers,
             const PatRules& rules, const std::string& outPath, std::ostream& err) {
  const PatLot::File& file = lot.files()[fileIndex];
  std::map<std::uint64_t, const PatOutlier*> byOffset;
  for (const PatOutlier& outlier : outliers) {
    const PatLot::Part& part = lot.parts()[outlier.part];
    if (part.file == fileIndex) byOffset[part.prrOffset] = &outlier;
  }
  // The file whole in memory: runs of records that don't change are copied as they are.
  bool read = false;
  const std::string input = readWhole(file.path, read);
  std::string buffer, tail;
  buffer.reserve(input.size() + 4096);
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  if (!read || !out) {
    err << "ate-datalog: cannot " << (!read ? "read " + file.path : "write " + outPath) << '\n';
    return false;
  }
  StdfReader reader(input.data(), input.size());
  std::size_t span = 0;  // where the run of records not yet copied begins
  const auto copySpan = [&](std::string& into, std::uint64_t to) {
    into.append(input, span, static_cast<std::size_t>(to) - span);
  };
  const ByteOrder order = file.order;
  bool inTail = false;  // from the first HBR or SBR on, kept until the end
  std::vector<BinEntry> bins;
  std::string waferOpen;  // the wafer between a WIR and its WRR
  std::uint8_t waferHead = 1;
  RawRecord raw;
  std::vector<std::uint8_t> copy;
  const auto outliersAt = [&](auto&& matches) {
    std::uint32_t n = 0;
    for (const auto& [offset, outlier] : byOffset) {
      if (matches(lot.parts()[outlier->part])) ++n;
    }
    return n;
  };
  while (reader.nextRaw(raw)) {
    const RecordType type{raw.type, raw.sub};
    std::string& into = inTail ? tail : buffer;
    const std::uint64_t end = raw.offset + 4 + raw.length;
    if (type == HBR_RECORD || type == SBR_RECORD) {
      Record record;
      if (!reader.decode(raw, record)) break;
      copySpan(into, raw.offset);
      span = static_cast<std::size_t>(end);
      if (!inTail) {
        out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        buffer.clear();
        inTail = true;
      }
      BinEntry entry;
      entry.hard = type == HBR_RECORD;
      const auto& f = record.fields;
      entry.head = static_cast<std::uint8_t>(f.size() > 0 ? f[0].u : 255);
      entry.site = static_cast<std::uint8_t>(f.size() > 1 ? f[1].u : 0);
      entry.bin = static_cast<std::uint16_t>(f.size() > 2 ? f[2].u : 0);
      entry.count = static_cast<std::uint32_t>(f.size() > 3 ? f[3].u : 0);
      entry.passFail = f.size() > 4 && !f[4].text.empty() ? f[4].text[0] : ' ';
      entry.name = f.size() > 5 ? f[5].text : std::string();
      bins.push_back(entry);
      continue;
    }
    // Most records go as they are; the few changed are copied first.
    const bool changed = (type == PRR_RECORD && byOffset.count(raw.offset) != 0) ||
                         type == WRR_RECORD || type == PCR_RECORD;
    const std::uint8_t* bytes = raw.data;
    if (changed) {
      copy.assign(raw.data, raw.data + raw.length);
      bytes = copy.data();
    }
    std::string extra;
    if (type == PRR_RECORD && changed) {
      const auto found = byOffset.find(raw.offset);
      if (raw.length >= 9) {
        const PatRules::Rule& rule = rules[found->second->rule];
        copy[2] =
            static_cast<std::uint8_t>((copy[2] | flag::PART_FAILED) & ~flag::PART_NO_PASS_FAIL);
        writeUint(&copy[5], rule.hardBin, 2, order);
        writeUint(&copy[7], rule.softBin, 2, order);
        extra = Encoder(order).cn(outlierText(lot, *found->second, rules)).record(DTR_RECORD);
      }
    } else if (type == WIR_RECORD) {
      Record record;
      if (!reader.decode(raw, record)) break;
      waferOpen = std::string(record.textValue("WAFER_ID"));
      waferHead = static_cast<std::uint8_t>(record.unsignedValue("HEAD_NUM", 1));
    } else if (type == WRR_RECORD && raw.length >= 22) {
      const std::uint64_t good = readUint(&copy[18], 4, order);
      const std::uint32_t lost = outliersAt([&](const PatLot::Part& part) {
        return part.wafer >= 0 &&
               lot.wafers()[static_cast<std::size_t>(part.wafer)].id == waferOpen &&
               lot.wafers()[static_cast<std::size_t>(part.wafer)].head == waferHead;
      });
      if (good != 0xffffffffu) writeUint(&copy[18], good >= lost ? good - lost : 0, 4, order);
      waferOpen.clear();
    } else if (type == PCR_RECORD && raw.length >= 18) {
      const std::uint8_t head = copy[0], site = copy[1];
      const std::uint64_t good = readUint(&copy[14], 4, order);
      const std::uint32_t lost = outliersAt([&](const PatLot::Part& part) {
        return head == 255 || (part.head == head && part.site == site);
      });
      if (good != 0xffffffffu) writeUint(&copy[14], good >= lost ? good - lost : 0, 4, order);
    }
    if (!changed) continue;          // part of the run
    copySpan(into, raw.offset + 4);  // the run and this record's header
    into.append(reinterpret_cast<const char*>(bytes), raw.length);
    into += extra;
    span = static_cast<std::size_t>(end);
    if (!inTail && buffer.size() >= (1u << 22)) {
      out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      buffer.clear();
    }
  }
  copySpan(inTail ? tail : buffer, reader.offset());
  if (const ReadError* damage = reader.error()) {
    err << "ate-datalog: " << file.path << ": " << damage->message << '\n';
    return false;
  }
  // The bin summaries with the outliers moved: out of their tested bin, into their rule's, in
  // every summary that counted their head and site.
  for (const auto& [offset, outlier] : byOffset) {
    const PatLot::Part& part = lot.parts()[outlier->part];
    const PatRules::Rule& rule = rules[outlier->rule];
    for (const bool hard : {true, false}) {
      const std::uint16_t from = hard ? part.hardBin : part.softBin;
      const std::uint16_t to = hard ? rule.hardBin : rule.softBin;
      std::vector<BinEntry> added;
      for (BinEntry& entry : bins) {
        if (entry.hard != hard || entry.bin != from ||
            !(entry.head == 255 || (entry.head == part.head && entry.site == part.site))) {
          continue;
        }
        if (entry.count > 0) --entry.count;
        const auto same = std::find_if(bins.begin(), bins.end(), [&](const BinEntry& other) {
          return other.hard == hard && other.bin == to && other.head == entry.head &&
                 other.site == entry.site;
        });
        if (same != bins.end()) {
          ++same->count;
        } else {
          BinEntry made = entry;
          made.bin = to;
          made.count = 1;
          made.passFail = 'F';
          made.name = rule.binName;
          added.push_back(made);
        }
      }
      for (BinEntry& made : added) {
        const auto same = std::find_if(bins.begin(), bins.end(), [&](const BinEntry& other) {
          return other.hard == made.hard && other.bin == made.bin && other.head == made.head &&
                 other.site == made.site;
        });
        if (same != bins.end()) {
          ++same->count;
        } else {
          bins.push_back(made);
        }
      }
    }
  }
  for (const BinEntry& entry : bins) {
    buffer += Encoder(order)
                  .u1(entry.head)
                  .u1(entry.site)
                  .u2(entry.bin)
                  .u4(entry.count)
                  .c1(entry.passFail)
                  .cn(entry.name)
                  .record(entry.hard ? HBR_RECORD : SBR_RECORD);
  }
  buffer += tail;
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  if (!out.flush()) {
    err << "ate-datalog: cannot write " << outPath << '\n';
    return false;
  }
  return true;
}

// ----- maps

// Each wafer's final dies after screening, with their outliers marked.
std::vector<MapWafer> screenedWafers(const PatLot& lot, const std::vector<PatOutlier>& outliers,
                                     const PatRules& rules) {
  std::vector<const PatOutlier*> byPart(lot.parts().size(), nullptr);
  for (const PatOutlier& outlier : outliers) byPart[outlier.part] = &outlier;
  std::vector<MapWafer> wafers(lot.wafers().size());
  for (std::size_t w = 0; w < wafers.size(); ++w) wafers[w].id = lot.wafers()[w].id;
  for (std::size_t i = 0; i < lot.parts().size(); ++i) {
    const PatLot::Part& part = lot.parts()[i];
    if (part.wafer < 0) continue;
    MapWafer& wafer = wafers[static_cast<std::size_t>(part.wafer)];
    ++wafer.parts;
    if (!part.final) {
      ++wafer.retests;
      continue;
    }
    MapDie die;
    die.x = part.x;
    die.y = part.y;
    die.site = part.site;
    die.partId = part.partId;
    die.passed = part.good;
    die.hardBin = part.hardBin;
    if (const PatOutlier* outlier = byPart[i]) {
      die.passed = false;
      die.hardBin = rules[outlier->rule].hardBin;
      die.outlier = patRuleName(outlier->rule);
    }
    wafer.dies.push_back(die);
  }
  // A retest counted above was the earlier part; what the map calls retests is the later ones,
  // the same number.
  return wafers;
}

MapExtent extentOf(const MapWafer& wafer) { return mapExtent(wafer); }

// Rows of hexadecimal bin codes from the smallest Y down, each from the smallest X; `none`
// where no die is. Two digits a die, or four when a bin is above 254.
std::vector<std::vector<std::string>> binRows(const MapWafer& wafer, int& digits) {
  digits = 2;
  for (const MapDie& die : wafer.dies) {
    if (die.hardBin > 254) digits = 4;
  }
  const MapExtent e = extentOf(wafer);
  const std::string none(static_cast<std::size_t>(digits), 'F');
  std::vector<std::vector<std::string>> rows(
      static_cast<std::size_t>(e.maxY - e.minY + 1),
      std::vector<std::string>(static_cast<std::size_t>(e.maxX - e.minX + 1), none));
  for (const MapDie& die : wafer.dies) {
    char code[8];
    std::snprintf(code, sizeof code, digits == 2 ? "%02X" : "%04X", die.hardBin & 0xffff);
    rows[static_cast<std::size_t>(die.y - e.minY)][static_cast<std::size_t>(die.x - e.minX)] = code;
  }
  return rows;
}

struct BinKey {
  int bin;
  bool good;
  long count;
  std::string name;
};

std::vector<BinKey> binsOf(const MapWafer& wafer, const PatRules& rules) {
  std::map<int, BinKey> bins;
  for (const MapDie& die : wafer.dies) {
    BinKey& key = bins.emplace(die.hardBin, BinKey{die.hardBin, die.passed, 0, ""}).first->second;
    ++key.count;
    key.good = key.good && die.passed;
  }
  for (const auto& rule : rules.rules) {
    const auto found = bins.find(rule.hardBin);
    if (found != bins.end()) found->second.name = rule.binName;
  }
  std::vector<BinKey> out;
  for (auto& [bin, key] : bins) {
    if (key.name.empty()) key.name = key.good ? "PASS" : "FAIL";
    out.push_back(key);
  }
  return out;
}

// The wafer's map as SEMI E142 XML: a layout of the dies, the substrate with its lot and wafer
// id, and the substrate map's bin code map, one row a line. Origin at the upper left: X grows to
// the right and Y downwards, as the datalog's coordinates are drawn everywhere else.
std::string e142(const MapWafer& wafer, const std::string& lotId, const PatRules& rules) {
  int digits = 2;
  const std::vector<std::vector<std::string>> rows = binRows(wafer, digits);
  const MapExtent e = extentOf(wafer);
  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<MapData xmlns=\"urn:semi-org:xsd.E142-1.V1005.SubstrateMap\">\n"
      "  <Layouts>\n"
      "    <Layout LayoutId=\"WaferLayout\" DefaultUnits=\"mm\" TopLevel=\"true\">\n"
      "      <Dimension X=\"1\" Y=\"1\"/>\n"
      "      <ChildLayouts><ChildLayout LayoutId=\"Devices\"/></ChildLayouts>\n"
      "    </Layout>\n"
      "    <Layout LayoutId=\"Devices\" DefaultUnits=\"mm\">\n"
      "      <Dimension X=\"" +
      std::to_string(e.maxX - e.minX + 1) + "\" Y=\"" + std::to_string(e.maxY - e.minY + 1) +
      "\"/>\n"
      "      <LowerLeft X=\"" +
      std::to_string(e.minX) + "\" Y=\"" + std::to_string(e.maxY) +
      "\"/>\n"
      "    </Layout>\n"
      "  </Layouts>\n"
      "  <Substrates>\n"
      "    <Substrate SubstrateType=\"Wafer\" SubstrateId=\"" +
      xmlEscape(wafer.id) +
      "\">\n"
      "      <LotId>" +
      xmlEscape(lotId) +
      "</LotId>\n"
      "    </Substrate>\n"
      "  </Substrates>\n"
      "  <SubstrateMaps>\n"
      "    <SubstrateMap SubstrateType=\"Wafer\" SubstrateId=\"" +
      xmlEscape(wafer.id) +
      "\" Orientation=\"0\" OriginLocation=\"UpperLeft\" AxisDirection=\"DownRight\" "
      "LayoutSpecifier=\"WaferLayout/Devices\">\n"
      "      <Overlay MapName=\"BinCodeMap\" MapVersion=\"1\">\n"
      "        <ReferenceDevices>\n"
      "          <ReferenceDevice ReferenceDeviceName=\"OriginLocation\">"
      "<Coordinates X=\"" +
      std::to_string(e.minX) + "\" Y=\"" + std::to_string(e.minY) +
      "\"/></ReferenceDevice>\n"
      "        </ReferenceDevices>\n"
      "        <BinCodeMap BinType=\"HexaDecimal\" NullBin=\"" +
      std::string(static_cast<std::size_t>(digits), 'F') +
      "\">\n"
      "          <BinDefinitions>\n";
  for (const BinKey& key : binsOf(wafer, rules)) {
    char code[8];
    std::snprintf(code, sizeof code, digits == 2 ? "%02X" : "%04X", key.bin & 0xffff);
    out += "            <BinDefinition BinCode=\"" + std::string(code) + "\" BinCount=\"" +
           std::to_string(key.count) + "\" BinQuality=\"" + (key.good ? "Pass" : "Fail") +
           "\" BinDescription=\"" + xmlEscape(key.name) + "\"/>\n";
  }
  out += "          </BinDefinitions>\n";
  for (const auto& row : rows) {
    out += "          <BinCode>";
    for (const std::string& code : row) out += code;
    out += "</BinCode>\n";
  }
  out +=
      "        </BinCodeMap>\n"
      "      </Overlay>\n"
      "    </SubstrateMap>\n"
      "  </SubstrateMaps>\n"
      "</MapData>\n";
  return out;
}

// The wafer's map as text in the common row-of-hexadecimal-bins style: a heading of KEY:VALUE
// lines, then one "RowData:" line per row, each die its bin in hex, "__" (or "____") where no
// die is.
std::string hexMap(const MapWafer& wafer, const std::string& lotId, const std::string& partType,
                   const PatRules& rules) {
  int digits = 2;
  const std::vector<std::vector<std::string>> rows = binRows(wafer, digits);
  const MapExtent e = extentOf(wafer);
  std::string good;
  for (const BinKey& key : binsOf(wafer, rules)) {
    if (!key.good) continue;
    char code[8];
    std::snprintf(code, sizeof code, digits == 2 ? "%02X" : "%04X", key.bin & 0xffff);
    good += (good.empty() ? "" : " ") + std::string(code);
  }
  std::string out = "DEVICE:" + partType + "\nLOT:" + lotId + "\nWAFER:" + wafer.id +
                    "\nFNLOC:0\nROWCT:" + std::to_string(rows.size()) +
                    "\nCOLCT:" + std::to_string(rows.empty() ? 0 : rows[0].size()) +
                    "\nBCEQU:" + good + "\nREFPX:" + std::to_string(e.minX) +
                    "\nREFPY:" + std::to_string(e.minY) + "\n";
  const std::string none(static_cast<std::size_t>(digits), 'F');
  for (const auto& row : rows) {
    out += "RowData:";
    for (std::size_t i = 0; i < row.size(); ++i) {
      out += (i > 0 ? " " : "") + (row[i] == none ? std::string(row[i].size(), '_') : row[i]);
    }
    out += "\n";
  }
  return out;
}

// ----- the report's screening section

LotReportData::Pat reportSection(const PatLot& lot, const std::vector<PatOutlier>& outliers,
                                 const PatRules& rules, const PatLimitTable* staticLimits,
                                 const PatLot::DynamicLimits& dynamic) {
  LotReportData::Pat pat;
  for (const PatLot::Part& part : lot.parts()) {
    if (part.final && part.good) ++pat.parts;
  }
  for (std::size_t r = 0; r < PAT_RULES; ++r) {
    const auto rule = static_cast<PatRule>(r);
    LotReportData::Pat::Rule shown;
    shown.name = patRuleName(rule);
    shown.enabled = rules[rule].enabled && (rule != PatRule::STATIC || staticLimits);
    shown.hardBin = rules[rule].hardBin;
    for (const PatOutlier& outlier : outliers) {
      if (outlier.rule == rule) ++shown.outliers;
    }
    pat.rules.push_back(shown);
  }
  std::vector<const PatLot::Test*> tests;
  for (const PatLot::Test& test : lot.tests()) tests.push_back(&test);
  std::sort(tests.begin(), tests.end(),
            [](const PatLot::Test* a, const PatLot::Test* b) { return a->number < b->number; });
  for (const PatLot::Test* test : tests) {
    LotReportData::Pat::Test row;
    row.number = test->number;
    row.name = test->name;
    if (staticLimits) {
      const auto found = staticLimits->find(test->number);
      if (found != staticLimits->end()) {
        row.staticLow = found->second.first;
        row.staticHigh = found->second.second;
      }
    }
    const auto found = dynamic.find(test->number);
    if (found != dynamic.end() && !found->second.empty()) {
      std::vector<double> lows, highs;
      for (const auto& [low, high] : found->second) {
        lows.push_back(low);
        highs.push_back(high);
      }
      row.dynamicLow = quantileType7(lows, 0.5);
      row.dynamicHigh = quantileType7(highs, 0.5);
      row.populations = static_cast<long>(found->second.size());
    }
    for (const PatOutlier& outlier : outliers) {
      if (outlier.test == test->number && outlier.rule <= PatRule::NNR) {
        ++row.outliers[static_cast<std::size_t>(outlier.rule)];
      }
    }
    if (row.staticLow || row.dynamicLow || row.outliers[0] + row.outliers[1] + row.outliers[2]) {
      pat.tests.push_back(row);
    }
  }
  return pat;
}

}  // namespace

int patLimitsCommand(const std::vector<std::string>& files, double k, std::size_t minValues,
                     const std::string& outPath, std::ostream& out, std::ostream& err) {
  PatLot lot;
  if (const int status = readLot(files, lot, err); status != DATALOG_OK) return status;
  const PatLot::LimitsResult result = lot.limits(k, minValues);
  nlohmann::ordered_json doc;
  doc["kind"] = "ate-pat-limits";
  doc["version"] = 1;
  doc["created"] = nowUtc();
  doc["k"] = k;
  doc["minValues"] = minValues;
  doc["inputs"] = nlohmann::ordered_json::array();
  for (const PatLot::File& file : lot.files()) {
    doc["inputs"].push_back({{"file", file.path},
                             {"lotId", file.lotId},
                             {"parts", file.parts},
                             {"goodParts", file.good}});
  }
  doc["tests"] = nlohmann::ordered_json::array();
  for (const auto& [test, limits] : result.limits) {
    nlohmann::ordered_json entry = {{"number", test->number}, {"name", test->name},
                                    {"unit", test->unit},     {"values", limits.values},
                                    {"q1", limits.q1},        {"median", limits.median},
                                    {"q3", limits.q3},        {"sigma", limits.sigma},
                                    {"low", limits.low},      {"high", limits.high}};
    if (test->testLow) entry["testLow"] = *test->testLow;
    if (test->testHigh) entry["testHigh"] = *test->testHigh;
    doc["tests"].push_back(entry);
  }
  doc["leftOut"] = nlohmann::ordered_json::array();
  for (const auto& left : result.leftOut) {
    doc["leftOut"].push_back({{"number", left.test->number},
                              {"name", left.test->name},
                              {"values", left.values},
                              {"why", left.why}});
  }
  if (!writeWhole(outPath, doc.dump(2) + "\n", err)) return DATALOG_WRITE;
  out << "wrote " << outPath << ": limits of " << result.limits.size() << " tests";
  if (!result.leftOut.empty()) {
    out << ", " << result.leftOut.size() << " left out:";
    for (const auto& left : result.leftOut) {
      out << "\n  " << left.test->number << " " << left.test->name << ": " << left.why << " ("
          << left.values << ")";
    }
  }
  out << '\n';
  return DATALOG_OK;
}

int patApplyCommand(const std::vector<std::string>& files, const std::string& limitsPath,
                    const std::string& rulesPath, const std::string& outDir, std::ostream& out,
                    std::ostream& err, PatApplyResult* result, const std::string& prefix) {
  PatRules rules;
  PatLimitTable staticLimits;
  for (const auto& [path, what] :
       {std::pair{rulesPath, "rules"}, std::pair{limitsPath, "limits"}}) {
    if (path.empty()) continue;
    bool read = false;
    const std::string text = readWhole(path, read);
    std::string error;
    if (!read) {
      err << "ate-datalog: cannot read the " << what << " file " << path << '\n';
      return DATALOG_USAGE;
    }
    if (what == std::string("rules") ? !parsePatRules(text, rules, error)
                                     : !parsePatLimits(text, staticLimits, error)) {
      err << "ate-datalog: the " << what << " file " << path << ": " << error << '\n';
      return DATALOG_USAGE;
    }
  }
  PatLot lot;
  LotCollector collected;  // for the report, read with the parts
  if (const int status = readLot(files, lot, err, &collected); status != DATALOG_OK) return status;
  std::error_code made;
  std::filesystem::create_directories(std::filesystem::u8path(outDir), made);
  PatLot::DynamicLimits dynamic;
  const std::vector<PatOutlier> outliers =
      lot.screen(rules, limitsPath.empty() ? nullptr : &staticLimits, &dynamic);

  PatApplyResult found;
  for (const PatLot::Part& part : lot.parts()) {
    if (part.final && part.good) ++found.parts;
  }
  for (const PatOutlier& outlier : outliers)
    ++found.outliers[static_cast<std::size_t>(outlier.rule)];

  // The re-binned copies are written on a thread of their own while the other outputs are made.
  Names names;
  std::vector<std::string> rebinned;
  for (std::uint32_t f = 0; f < lot.files().size(); ++f) {
    const std::filesystem::path input = std::filesystem::u8path(lot.files()[f].path);
    rebinned.push_back(outDir + "/" +
                       names.unique(fileName(input.stem().u8string(), "datalog"), ".pat.stdf"));
    found.outputs.push_back(rebinned.back());
  }
  std::ostringstream copyErrors;
  bool copied = true;
  std::thread copying([&] {
    for (std::uint32_t f = 0; f < lot.files().size() && copied; ++f) {
      copied = rewrite(lot, f, outliers, rules, rebinned[f], copyErrors);
    }
  });
  struct Joined {
    std::thread& thread;
    ~Joined() {
      if (thread.joinable()) thread.join();
    }
  } joined{copying};

  std::string csv = "part_id,site,wafer,x,y,rule,test_num,test_name,value,low,high\n";
  for (const PatOutlier& outlier : outliers) {
    const PatLot::Part& part = lot.parts()[outlier.part];
    const bool onWafer = part.wafer >= 0;
    std::string testName;
    for (const PatLot::Test& test : lot.tests()) {
      if (outlier.test && test.number == *outlier.test) testName = test.name;
    }
    appendCsvField(csv, part.partId);
    csv += "," + std::to_string(part.site) + ",";
    if (onWafer) appendCsvField(csv, lot.wafers()[static_cast<std::size_t>(part.wafer)].id);
    csv += "," + (onWafer ? std::to_string(part.x) : std::string()) + "," +
           (onWafer ? std::to_string(part.y) : std::string()) + "," + patRuleName(outlier.rule) +
           "," + (outlier.test ? std::to_string(*outlier.test) : std::string()) + ",";
    appendCsvField(csv, testName);
    csv += "," + (outlier.test ? number(outlier.value) : std::string()) + "," +
           limitText(outlier.low) + "," + limitText(outlier.high) + "\n";
    if (onWafer) {
      found.dies[lot.wafers()[static_cast<std::size_t>(part.wafer)].id].push_back(
          {{part.x, part.y}, patRuleName(outlier.rule)});
    }
  }
  const std::string csvPath = outDir + "/" + prefix + "outliers.csv";
  if (!writeWhole(csvPath, csv, err)) return DATALOG_WRITE;
  found.outputs.push_back(csvPath);

  const std::string lotId = lot.files().empty() ? std::string() : lot.files()[0].lotId;
  const std::string partType = lot.files().empty() ? std::string() : lot.files()[0].partType;
  const std::vector<MapWafer> wafers = screenedWafers(lot, outliers, rules);
  for (const MapWafer& wafer : wafers) {
    if (wafer.dies.empty()) continue;
    const std::string name = names.unique(fileName(wafer.id, "wafer"), "");
    for (const auto& [suffix, text] :
         {std::pair{".e142.xml", e142(wafer, lotId, rules)},
          std::pair{".map.txt", hexMap(wafer, lotId, partType, rules)}}) {
      const std::string path = outDir + "/" + prefix + name + suffix;
      if (!writeWhole(path, text, err)) return DATALOG_WRITE;
      found.outputs.push_back(path);
    }
  }

  // The lot's report as read, with the outliers moved to their rules' bins.
  LotReportData report = collected.report();
  report.files = rebinned;
  report.tests = lot.reportTests();
  report.pat =
      reportSection(lot, outliers, rules, limitsPath.empty() ? nullptr : &staticLimits, dynamic);
  const auto binOf = [&](int number) -> ReportBin& {
    for (ReportBin& bin : report.bins) {
      if (bin.number == number) return bin;
    }
    report.bins.push_back(ReportBin{number, "", false, 0, false});
    return report.bins.back();
  };
  for (const PatOutlier& outlier : outliers) {
    const PatLot::Part& part = lot.parts()[outlier.part];
    --report.good;
    for (ReportSite& site : report.sites) {
      if (site.site == part.site && site.head == part.head) --site.good;
    }
    --binOf(part.hardBin).count;
    ReportBin& to = binOf(rules[outlier.rule].hardBin);
    ++to.count;
    if (to.name.empty()) to.name = rules[outlier.rule].binName;
  }
  report.bins.erase(std::remove_if(report.bins.begin(), report.bins.end(),
                                   [](const ReportBin& bin) { return bin.count <= 0; }),
                    report.bins.end());
  report.wafers = wafers;
  for (ReportTest& test : report.tests) {
    for (const auto& row : report.pat->tests) {
      if (row.number != test.number) continue;
      test.patLow = row.staticLow ? row.staticLow : row.dynamicLow;
      test.patHigh = row.staticHigh ? row.staticHigh : row.dynamicHigh;
    }
  }
  const std::string reportPath = outDir + "/" + prefix + "report.html";
  if (!writeWhole(reportPath, reportHtml(report), err)) return DATALOG_WRITE;
  found.outputs.push_back(reportPath);
  copying.join();
  if (!copied) {
    err << copyErrors.str();
    return DATALOG_WRITE;
  }

  long total = 0;
  for (const long n : found.outliers) total += n;
  out << total << " outliers among " << found.parts << " good parts:";
  for (std::size_t r = 0; r < PAT_RULES; ++r) {
    out << " " << patRuleName(static_cast<PatRule>(r)) << " " << found.outliers[r];
  }
  out << "\n";
  for (const std::string& path : found.outputs) out << "wrote " << path << '\n';
  if (result) *result = std::move(found);
  return DATALOG_OK;
}

}  // namespace stdf
