#include "stdf/DatalogReport.h"

#include <charconv>
#include <cstdio>
#include <ostream>
#include <vector>

namespace stdf {

namespace {

using Row = std::vector<std::string>;

// Prints a table: a header row and rows, columns two spaces apart, the columns marked in
// `right` aligned right (numbers), the others left.
void writeTable(std::ostream& out, const Row& header, const std::vector<Row>& rows,
                const std::vector<bool>& right) {
  std::vector<std::size_t> width(header.size(), 0);
  auto measure = [&](const Row& row) {
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  };
  measure(header);
  for (const Row& row : rows) measure(row);
  auto print = [&](const Row& row) {
    std::string line = " ";
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      line += ' ';
      line += right[c] ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : "");
      if (c + 1 < row.size()) line += ' ';
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  };
  print(header);
  for (const Row& row : rows) print(row);
}

std::string general(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string percent(std::uint64_t part, std::uint64_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%",
                whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

void writeBins(std::ostream& out, const char* title, const std::vector<BinCount>& bins,
               std::uint64_t parts) {
  out << '\n' << title << '\n';
  std::vector<Row> rows;
  for (const BinCount& bin : bins) {
    rows.push_back({std::to_string(bin.number), bin.name.empty() ? "-" : bin.name,
                    std::string(1, bin.passFail), std::to_string(bin.count),
                    percent(bin.count, parts)});
  }
  writeTable(out, {"bin", "name", "P/F", "count", "percent"}, rows,
             {true, false, false, true, true});
}

}  // namespace

std::string formatNumber(double value, bool single) {
  char text[64];
  const auto result = single ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
                             : std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void writeSummary(const DatalogSummary& summary, std::ostream& out) {
  out << "Parts\n";
  std::vector<Row> rows;
  for (const auto& [site, count] : summary.sites()) {
    rows.push_back({std::to_string(site), std::to_string(count.parts), std::to_string(count.good),
                    percent(count.good, count.parts)});
  }
  const PartCount& all = summary.overall();
  rows.push_back(
      {"all", std::to_string(all.parts), std::to_string(all.good), percent(all.good, all.parts)});
  writeTable(out, {"site", "parts", "good", "yield"}, rows, {false, true, true, true});

  writeBins(out, "Hard bins", summary.hardBins(), all.parts);
  writeBins(out, "Soft bins", summary.softBins(), all.parts);

  out << "\nTests\n";
  rows.clear();
  for (const TestStats& test : summary.tests()) {
    auto optional = [](const std::optional<double>& value) {
      return value ? general(*value) : std::string("-");
    };
    const bool stats = test.values > 0;
    rows.push_back({std::to_string(test.number), test.name.empty() ? "-" : test.name,
                    test.unit.empty() ? "-" : test.unit, optional(test.low), optional(test.high),
                    std::to_string(test.count), std::to_string(test.fails),
                    stats ? general(test.min) : "-", stats ? general(test.max) : "-",
                    stats ? general(test.mean) : "-", stats ? general(test.sd()) : "-",
                    optional(test.cpk())});
  }
  writeTable(
      out,
      {"test", "name", "unit", "low", "high", "count", "fails", "min", "max", "mean", "sd", "cpk"},
      rows, {true, false, false, true, true, true, true, true, true, true, true, true});

  out << "\nLast part per site\n";
  rows.clear();
  for (const auto& [site, part] : summary.lastParts()) {
    std::string failed = "-";
    if (part.failedTest) {
      failed = std::to_string(*part.failedTest);
      if (!part.failedTestName.empty()) failed += " " + part.failedTestName;
    }
    if (part.incomplete && !part.failedTest) {
      failed = part.incompleteReason.empty() ? "not completed"
                                             : "not completed: " + part.incompleteReason;
    }
    rows.push_back({std::to_string(site), part.partId.empty() ? "-" : part.partId,
                    part.passed ? "PASS" : "FAIL", std::to_string(part.hardBin),
                    std::to_string(part.softBin), failed});
  }
  writeTable(out, {"site", "part", "result", "hard bin", "soft bin", "first failed test"}, rows,
             {false, false, false, true, true, false});
}

}  // namespace stdf
