#include "stdf/DatalogTool.h"

#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "AteVersion.h"
#include "stdf/DatalogReport.h"
#include "stdf/DatalogSummary.h"
#include "stdf/LotData.h"
#include "stdf/LotReport.h"
#include "stdf/Pat.h"
#include "stdf/StdfReader.h"
#include "stdf/TableExport.h"
#include "stdf/WaferMap.h"

namespace {

const char USAGE[] =
    "usage: ate-datalog summary [--all-parts] FILE...\n"
    "                                     yield, bins and test statistics (files summed); a die\n"
    "                                     or part tested again counts once, with its last\n"
    "                                     result, unless --all-parts\n"
    "       ate-datalog map [--svg DIR] [--by site] FILE...\n"
    "                                     each wafer's map on the terminal; with --svg, one SVG\n"
    "                                     file per wafer in DIR too\n"
    "       ate-datalog report --html OUT FILE...\n"
    "                                     the lot's report as one self-contained HTML file\n"
    "       ate-datalog csv FILE          one row per part, one column per test\n"
    "       ate-datalog dump FILE         every record on one line\n"
    "       ate-datalog export --to DIR FILE...\n"
    "                                     parts, results and tests tables under DIR, by part\n"
    "                                     type and lot (gzip CSV, see docs/fleet.md)\n"
    "       ate-datalog pat limits FILE... --out LIMITS.json [--k K] [--min-values N]\n"
    "                                     static outlier limits per test from earlier lots\n"
    "       ate-datalog pat apply FILE... [--limits LIMITS.json] [--rules RULES.json] --out DIR\n"
    "                                     outlier screening (static, dynamic, nnr, gdbn, zpat):\n"
    "                                     re-binned copies, outliers.csv, maps and report in DIR\n"
    "       ate-datalog pat rules         the default rules file\n"
    "       ate-datalog --version\n"
    "exit status: 0 = read, 1 = a file is damaged, 2 = usage or a file that can't be read,\n"
    "             3 = export: an output can't be written\n";

// Reads every record of `path`, handing each PTR that reads in place to `onPtr` (when it takes
// it: it returns false to have it whole) and every other record to `onRecord`; reports a file
// that can't be opened or is damaged on `err` and returns the status.
template <typename OnPtr, typename OnRecord>
int readFile(const std::string& path, std::ostream& err, OnPtr&& onPtr, OnRecord&& onRecord) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    err << "ate-datalog: cannot open " << path << '\n';
    return DATALOG_USAGE;
  }
  stdf::StdfReader reader(file);
  stdf::RawRecord raw;
  stdf::Record record;
  stdf::PtrFields ptr;
  bool ended = false;
  while (reader.nextRaw(raw)) {
    ended = false;
    if (stdf::RecordType{raw.type, raw.sub} == stdf::PTR_RECORD &&
        stdf::readPtr(raw.data, raw.length, reader.byteOrder(), ptr) && onPtr(raw, ptr)) {
      continue;
    }
    if (!reader.decode(raw, record)) break;
    onRecord(record);
    ended = record.is("MRR");
  }
  if (const stdf::ReadError* error = reader.error()) {
    err << "ate-datalog: " << path << ": " << error->message << '\n';
    return DATALOG_DAMAGED;
  }
  // Every record is whole, but a complete file ends with its MRR: this one was cut between two
  // records.
  if (!ended) {
    err << "ate-datalog: " << path << ": byte " << reader.offset()
        << ": the file ends without an MRR record (cut short)\n";
    return DATALOG_DAMAGED;
  }
  return DATALOG_OK;
}

// Every record whole.
template <typename OnRecord>
int readFile(const std::string& path, std::ostream& err, OnRecord&& onRecord) {
  return readFile(
      path, err, [](const stdf::RawRecord&, const stdf::PtrFields&) { return false; }, onRecord);
}

// The status of several files: usage errors first, then write errors, then damage.
int worse(int a, int b) {
  for (const int status : {DATALOG_USAGE, DATALOG_WRITE, DATALOG_DAMAGED}) {
    if (a == status || b == status) return status;
  }
  return DATALOG_OK;
}

int summary(const std::vector<std::string>& files, bool everyPart, std::ostream& out,
            std::ostream& err) {
  stdf::DatalogSummary figures(everyPart);
  int status = DATALOG_OK;
  // Bytes after a record's last field are said once per record type, at the first such record.
  std::set<std::string_view> extraSaid;
  const auto sayExtra = [&](const std::string& path, std::string_view name, std::uint64_t offset,
                            std::uint16_t extra) {
    if (extra > 0 && extraSaid.insert(name).second) {
      err << "ate-datalog: " << path << ": byte " << offset << ": " << name
          << " records carry bytes after their last field (" << extra
          << " in this one); they are left out\n";
    }
  };
  for (const std::string& path : files) {
    status = worse(status, readFile(
                               path, err,
                               [&](const stdf::RawRecord& raw, const stdf::PtrFields& ptr) {
                                 sayExtra(path, "PTR", raw.offset, ptr.extra);
                                 if (ptr.present > 0) figures.addPtr(ptr);
                                 return true;
                               },
                               [&](const stdf::Record& r) {
                                 sayExtra(path, r.name, r.offset, r.extra);
                                 figures.add(r);
                               }));
    figures.endFile();
  }
  stdf::writeSummary(figures, out);
  if (figures.superseded() > 0) {
    out << "\n"
        << figures.tested() << " parts tested; " << figures.superseded()
        << (everyPart ? " of them tested a die or part again (every part counted)\n"
                      : " were tested again later and count only with their last result "
                        "(--all-parts counts every part)\n");
  }
  return status;
}

// Reads the files of a lot, in order, into a collector.
int collect(const std::vector<std::string>& files, stdf::LotCollector& lot, std::ostream& err) {
  int status = DATALOG_OK;
  for (const std::string& path : files) {
    status = worse(status, readFile(
                               path, err,
                               [&](const stdf::RawRecord&, const stdf::PtrFields& ptr) {
                                 lot.addPtr(ptr);
                                 return true;
                               },
                               [&](const stdf::Record& r) { lot.add(r); }));
    lot.endFile(path);
  }
  return status;
}

std::string fileName(const std::string& id) { return stdf::outputFileName(id, "wafer"); }

bool writeWhole(const std::string& path, const std::string& text, std::ostream& err) {
  return stdf::writeOutputFile(path, text, err);
}

int map(const std::vector<std::string>& files, const std::string& svgDir, stdf::MapBy by,
        std::ostream& out, std::ostream& err) {
  stdf::LotCollector lot;
  int status = collect(files, lot, err);
  const std::vector<stdf::MapWafer> wafers = lot.wafers();
  if (wafers.empty()) {
    err << "ate-datalog: no wafer in the files (no WIR, or no part with X,Y on one)\n";
    return worse(status, DATALOG_USAGE);
  }
  std::set<std::string> names;
  for (const stdf::MapWafer& wafer : wafers) {
    out << stdf::textMap(wafer, by) << '\n';
    if (svgDir.empty()) continue;
    std::string name = fileName(wafer.id);
    for (int n = 2; !names.insert(name).second; ++n)
      name = fileName(wafer.id) + "_" + std::to_string(n);
    const std::string path = svgDir + "/" + name + ".svg";
    if (!writeWhole(path, stdf::svgMap(wafer, by), err)) return DATALOG_USAGE;
    out << "wrote " << path << "\n\n";
  }
  return status;
}

int report(const std::vector<std::string>& files, const std::string& html, std::ostream& out,
           std::ostream& err) {
  stdf::LotCollector lot;
  const int status = collect(files, lot, err);
  if (!writeWhole(html, stdf::reportHtml(lot.report()), err)) return DATALOG_USAGE;
  out << "wrote " << html << '\n';
  return status;
}

std::string csvField(const std::string& text) {
  std::string field;
  stdf::appendCsvField(field, text);
  return field;
}

// Two passes: the first finds the tests (the columns), the second writes a row per PRR.
int csv(const std::string& path, std::ostream& out, std::ostream& err) {
  stdf::DatalogSummary figures;
  std::ostringstream firstErrors;
  int status = readFile(path, firstErrors, [&](const stdf::Record& r) { figures.add(r); });
  if (status == DATALOG_USAGE) {
    err << firstErrors.str();
    return status;
  }
  std::unordered_map<std::uint32_t, std::size_t> column;
  std::string header = "SITE,PART_ID,HARD_BIN,SOFT_BIN,PASS_FAIL,TEST_T";
  for (const stdf::TestStats& test : figures.tests()) {
    column.emplace(test.number, column.size());
    std::string title = std::to_string(test.number);
    if (!test.name.empty()) title += " " + test.name;
    if (!test.unit.empty()) title += " [" + test.unit + "]";
    header += "," + csvField(title);
  }
  out << header << '\n';

  // The values of the parts open at once, by head and site.
  std::unordered_map<std::uint32_t, std::vector<std::string>> open;
  auto cells = [&](std::uint32_t part) -> std::vector<std::string>& {
    std::vector<std::string>& values = open[part];
    values.resize(column.size());
    return values;
  };
  status = readFile(path, err, [&](const stdf::Record& r) {
    namespace f = stdf::field;
    if (r.is("PIR")) {
      open[stdf::headSiteKey(r, f::PIR_HEAD_NUM)].assign(column.size(), std::string());
    } else if ((r.is("PTR") || r.is("FTR") || r.is("MPR")) && !r.fields.empty()) {
      const auto at = column.find(static_cast<std::uint32_t>(r.fields[f::TEST_NUM].u));
      if (at == column.end()) return;
      const std::uint64_t flags = r.fields.size() > f::TEST_FLG ? r.fields[f::TEST_FLG].u : 0;
      if (flags & stdf::flag::TEST_NOT_EXECUTED) return;
      std::string& cell = cells(stdf::headSiteKey(r, f::TEST_HEAD_NUM))[at->second];
      if (r.is("PTR")) {
        if (r.fields.size() > f::PTR_RESULT && !(flags & stdf::flag::TEST_RESULT_INVALID)) {
          cell = stdf::formatNumber(r.fields[f::PTR_RESULT].r, true);
        }
      } else if (!(flags & stdf::flag::TEST_NO_PASS_FAIL)) {
        cell = flags & stdf::flag::TEST_FAILED ? "F" : "P";
      }
    } else if (r.is("PRR")) {
      const std::uint32_t part = stdf::headSiteKey(r, f::PRR_HEAD_NUM);
      const std::vector<std::string>& values = cells(part);
      auto number = [&](std::size_t at) {
        return r.fields.size() > at ? std::to_string(r.fields[at].u) : std::string();
      };
      const std::uint64_t flags =
          r.fields.size() > f::PRR_PART_FLG ? r.fields[f::PRR_PART_FLG].u : 0;
      std::string row = number(f::PRR_SITE_NUM) + "," +
                        csvField(r.fields.size() > f::PRR_PART_ID ? r.fields[f::PRR_PART_ID].text
                                                                  : std::string()) +
                        "," + number(f::PRR_HARD_BIN) + "," + number(f::PRR_SOFT_BIN) + "," +
                        (flags & stdf::flag::PART_NOT_GOOD ? "FAIL" : "PASS") + "," +
                        number(f::PRR_TEST_T);
      for (const std::string& value : values) row += "," + value;
      out << row << '\n';
      open.erase(part);
    }
  });
  return status;
}

// Each file on its own: what was read of a damaged one is exported too.
int exportTables(const std::string& dir, const std::vector<std::string>& files, std::ostream& err) {
  int status = DATALOG_OK;
  for (const std::string& path : files) {
    stdf::TableExport tables(dir, std::filesystem::path(path).filename().string());
    int read = readFile(path, err, [&](const stdf::Record& r) { tables.add(r); });
    if (read != DATALOG_USAGE && !tables.finish()) {
      err << "ate-datalog: " << tables.error() << '\n';
      read = DATALOG_WRITE;
    }
    status = worse(status, read);
  }
  return status;
}

int dump(const std::string& path, std::ostream& out, std::ostream& err) {
  return readFile(path, err, [&](const stdf::Record& r) { out << stdf::formatRecord(r) << '\n'; });
}

// pat limits, pat apply and pat rules, with their options anywhere after the subcommand.
int pat(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const std::string sub = args.size() > 1 ? args[1] : std::string();
  if (sub == "rules" && args.size() == 2) {
    out << stdf::patRulesJson(stdf::PatRules());
    return DATALOG_OK;
  }
  std::vector<std::string> files;
  std::string outPath, limits, rules;
  double k = 6;
  std::size_t minValues = 30;
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool value = i + 1 < args.size();
    try {
      if (arg == "--out" && value) {
        outPath = args[++i];
      } else if (arg == "--limits" && value && sub == "apply") {
        limits = args[++i];
      } else if (arg == "--rules" && value && sub == "apply") {
        rules = args[++i];
      } else if (arg == "--k" && value && sub == "limits") {
        std::size_t used = 0;
        k = std::stod(args[++i], &used);
        if (used != args[i].size() || !(k > 0)) throw std::invalid_argument("k");
      } else if (arg == "--min-values" && value && sub == "limits") {
        std::size_t used = 0;
        minValues = std::stoul(args[++i], &used);
        if (used != args[i].size() || minValues < 3) throw std::invalid_argument("min");
      } else if (arg.compare(0, 2, "--") == 0) {
        err << "ate-datalog: pat " << sub << ": unknown option or missing value: " << arg << '\n';
        return DATALOG_USAGE;
      } else {
        files.push_back(arg);
      }
    } catch (const std::exception&) {
      err << "ate-datalog: pat " << sub << ": " << arg << " takes "
          << (arg == "--k" ? "a number above 0" : "a whole number of 3 or more") << ", not "
          << args[i] << '\n';
      return DATALOG_USAGE;
    }
  }
  if (files.empty() || outPath.empty() || (sub != "limits" && sub != "apply")) {
    err << USAGE;
    return DATALOG_USAGE;
  }
  if (sub == "limits") return stdf::patLimitsCommand(files, k, minValues, outPath, out, err);
  return stdf::patApplyCommand(files, limits, rules, outPath, out, err);
}

}  // namespace

namespace stdf {

std::string outputFileName(const std::string& id, const char* fallback) {
  std::string name;
  for (const char c : id) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || (c == '.' && !name.empty());
    name += plain ? c : '_';
  }
  return name.empty() ? fallback : name;
}

bool writeOutputFile(const std::string& path, const std::string& text, std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (file.flush()) return true;
  err << "ate-datalog: cannot write " << path << '\n';
  return false;
}

}  // namespace stdf

int runDatalogTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && args[0] == "--version") {
    out << "ate-datalog " << ATE_VERSION << '\n';
    return DATALOG_OK;
  }
  if (args.size() == 1 && args[0] == "--help") {
    out << USAGE;
    return DATALOG_OK;
  }
  const std::string command = args.empty() ? std::string() : args[0];
  if (command == "pat") return pat(args, out, err);
  // Options of summary, map and report, anywhere after the command.
  std::vector<std::string> files;
  std::string svgDir, html;
  bool everyPart = false, bySite = false, badOption = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const bool value = i + 1 < args.size();
    if (args[i] == "--all-parts" && command == "summary") {
      everyPart = true;
    } else if (args[i] == "--svg" && command == "map" && value) {
      svgDir = args[++i];
    } else if (args[i] == "--by" && command == "map" && value && args[i + 1] == "site") {
      bySite = true;
      ++i;
    } else if (args[i] == "--html" && command == "report" && value) {
      html = args[++i];
    } else if (args[i].size() > 2 && args[i].compare(0, 2, "--") == 0 &&
               (command == "summary" || command == "map" || command == "report")) {
      badOption = true;
    } else {
      files.push_back(args[i]);
    }
  }
  if (badOption) files.clear();
  if (command == "summary" && !files.empty()) return summary(files, everyPart, out, err);
  if (command == "map" && !files.empty()) {
    return map(files, svgDir, bySite ? stdf::MapBy::site : stdf::MapBy::bin, out, err);
  }
  if (command == "report" && !files.empty() && !html.empty()) return report(files, html, out, err);
  if (command == "csv" && files.size() == 1) return csv(files[0], out, err);
  if (command == "dump" && files.size() == 1) return dump(files[0], out, err);
  if (command == "export" && files.size() >= 3 && files[0] == "--to" && !files[1].empty()) {
    return exportTables(files[1], std::vector<std::string>(files.begin() + 2, files.end()), err);
  }
  err << USAGE;
  return DATALOG_USAGE;
}
