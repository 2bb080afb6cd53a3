#include "stdf/LotReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace stdf {

namespace {

std::string number(double value, int decimals = 3) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", decimals + 3, value);
  return text;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string percent(long part, long whole) {
  return fixed(whole == 0 ? 0.0 : 100.0 * part / whole, 1) + " %";
}

const char* const STYLE = R"(
body { font-family: system-ui, sans-serif; margin: 2em; color: #1f2328; }
h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-top: 2em; border-bottom: 1px solid #d0d7de; }
table { border-collapse: collapse; font-size: 0.9em; margin: 0.5em 0; }
th, td { text-align: left; padding: 0.2em 0.7em; border-bottom: 1px solid #d0d7de; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.maps, .tests { display: flex; flex-wrap: wrap; gap: 1.5em; }
.test { border: 1px solid #d0d7de; border-radius: 6px; padding: 0.5em; }
.low { color: #b3261e; font-weight: 600; }
)";

// The bins by count, the largest first, with the cumulative share as a line.
std::string pareto(std::vector<ReportBin> bins, long total) {
  std::sort(bins.begin(), bins.end(),
            [](const ReportBin& a, const ReportBin& b) { return a.count > b.count; });
  const int bar = 36;
  const int height = 200;
  const int width = 60 + bar * static_cast<int>(bins.size()) + 20;
  const long most = bins.empty() ? 1 : std::max(1L, bins.front().count);
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"pareto\" width=\"" +
                    std::to_string(width) + "\" height=\"" + std::to_string(height + 40) +
                    "\" font-size=\"11\">\n";
  std::string line;
  long cumulative = 0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const ReportBin& bin = bins[i];
    const int x = 50 + static_cast<int>(i) * bar;
    const int h = static_cast<int>(std::lround(static_cast<double>(bin.count) / most * height));
    out += "<rect x=\"" + std::to_string(x + 4) + "\" y=\"" + std::to_string(10 + height - h) +
           "\" width=\"" + std::to_string(bar - 8) + "\" height=\"" + std::to_string(h) +
           "\" fill=\"" + (bin.good ? "#2e9d48" : "#d7263d") + "\" data-bin=\"" +
           std::to_string(bin.number) + "\" data-count=\"" + std::to_string(bin.count) +
           "\"><title>bin " + std::to_string(bin.number) + " " + xmlEscape(bin.name) + ": " +
           std::to_string(bin.count) + "</title></rect>\n";
    out += "<text x=\"" + std::to_string(x + bar / 2) + "\" y=\"" + std::to_string(height + 25) +
           "\" text-anchor=\"middle\">" + std::to_string(bin.number) + "</text>\n";
    cumulative += bin.count;
    const double share = total == 0 ? 0 : static_cast<double>(cumulative) / total;
    line += (line.empty() ? "" : " ") + std::to_string(x + bar / 2) + "," +
            std::to_string(10 + height - static_cast<int>(std::lround(share * height)));
  }
  out +=
      "<polyline points=\"" + line + "\" fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"2\"/>\n";
  out += "<text x=\"0\" y=\"20\">" + std::to_string(most) + "</text><text x=\"0\" y=\"" +
         std::to_string(height + 10) + "\">0</text>\n</svg>\n";
  return out;
}

// A histogram of the test's sample, with its limits and mean drawn.
std::string histogram(const ReportTest& test) {
  const int width = 320;
  const int height = 140;
  const int columns = 40;
  if (test.sample.empty()) return "<p>no values</p>";
  double low = test.min;
  double high = test.max;
  if (test.low) low = std::min(low, *test.low);
  if (test.high) high = std::max(high, *test.high);
  if (test.patLow) low = std::min(low, *test.patLow);
  if (test.patHigh) high = std::max(high, *test.patHigh);
  if (!(high > low)) {
    low -= 0.5;
    high += 0.5;
  }
  const double margin = (high - low) * 0.05;
  low -= margin;
  high += margin;
  std::vector<long> counts(columns, 0);
  for (const double value : test.sample) {
    const int column =
        std::clamp(static_cast<int>((value - low) / (high - low) * columns), 0, columns - 1);
    ++counts[static_cast<std::size_t>(column)];
  }
  const long most = std::max(1L, *std::max_element(counts.begin(), counts.end()));
  const auto at = [&](double value) {
    return std::to_string(static_cast<int>(std::lround((value - low) / (high - low) * width)));
  };
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                    "\" height=\"" + std::to_string(height + 16) + "\" font-size=\"10\">\n";
  for (int c = 0; c < columns; ++c) {
    const int h = static_cast<int>(std::lround(static_cast<double>(counts[c]) / most * height));
    out += "<rect x=\"" + std::to_string(c * width / columns) + "\" y=\"" +
           std::to_string(height - h) + "\" width=\"" + std::to_string(width / columns - 1) +
           "\" height=\"" + std::to_string(h) + "\" fill=\"#7ba7d4\"/>";
  }
  out += "\n";
  for (const auto& [limit, name] : {std::pair{test.low, "LL"}, std::pair{test.high, "HL"}}) {
    if (!limit) continue;
    out += "<line class=\"limit\" x1=\"" + at(*limit) + "\" x2=\"" + at(*limit) +
           "\" y1=\"0\" y2=\"" + std::to_string(height) +
           "\" stroke=\"#b3261e\" stroke-width=\"2\" stroke-dasharray=\"4 2\"/><text x=\"" +
           at(*limit) + "\" y=\"" + std::to_string(height + 12) + "\" fill=\"#b3261e\">" + name +
           " " + number(*limit) + "</text>\n";
  }
  for (const auto& [limit, name] :
       {std::pair{test.patLow, "PAT L"}, std::pair{test.patHigh, "PAT H"}}) {
    if (!limit) continue;
    out += "<line class=\"pat\" x1=\"" + at(*limit) + "\" x2=\"" + at(*limit) +
           "\" y1=\"0\" y2=\"" + std::to_string(height) +
           "\" stroke=\"#8a4fbf\" stroke-width=\"2\"/><text x=\"" + at(*limit) +
           "\" y=\"10\" fill=\"#8a4fbf\">" + name + "</text>\n";
  }
  out += "<line x1=\"" + at(test.mean()) + "\" x2=\"" + at(test.mean()) + "\" y1=\"0\" y2=\"" +
         std::to_string(height) + "\" stroke=\"#1f2328\"/>\n</svg>\n";
  return out;
}

// The outlier screening: its rules with their bins and outliers, and the tests that found any.
std::string patSection(const LotReportData::Pat& pat) {
  long total = 0;
  for (const auto& rule : pat.rules) total += rule.outliers;
  std::string out = "<h2>Outlier screening (PAT)</h2>\n<p class=\"pat\">" + std::to_string(total) +
                    " outliers among " + std::to_string(pat.parts) + " good parts screened (" +
                    percent(total, pat.parts) +
                    "); outliers are outlined on the wafer maps, and each test's limits drawn in "
                    "purple.</p>\n<table class=\"pat-rules\"><tr><th>Rule</th><th>Bin</th>"
                    "<th>Outliers</th></tr>\n";
  for (const auto& rule : pat.rules) {
    out += "<tr data-rule=\"" + rule.name + "\"><td>" + rule.name + "</td><td class=\"num\">" +
           (rule.enabled ? std::to_string(rule.hardBin) : std::string("off")) +
           "</td><td class=\"num\">" + std::to_string(rule.outliers) + "</td></tr>\n";
  }
  out +=
      "</table>\n<table class=\"pat-tests\"><tr><th>Test</th><th>Name</th><th>Static limits</th>"
      "<th>Dynamic limits</th><th>Static</th><th>Dynamic</th><th>NNR</th></tr>\n";
  const auto range = [](const std::optional<double>& low, const std::optional<double>& high) {
    return low && high ? number(*low) + " to " + number(*high) : std::string("-");
  };
  for (const auto& test : pat.tests) {
    out += "<tr data-test=\"" + std::to_string(test.number) + "\"><td class=\"num\">" +
           std::to_string(test.number) + "</td><td>" + xmlEscape(test.name) + "</td><td>" +
           range(test.staticLow, test.staticHigh) + "</td><td>" +
           range(test.dynamicLow, test.dynamicHigh) +
           (test.populations > 1
                ? " <small>(median of " + std::to_string(test.populations) + " wafers)</small>"
                : "") +
           "</td>";
    for (const long count : test.outliers) {
      out += "<td class=\"num\">" + std::to_string(count) + "</td>";
    }
    out += "</tr>\n";
  }
  return out + "</table>\n";
}

}  // namespace

void ReportTest::add(double value, std::uint64_t random) {
  if (values == 0 || value < min) min = value;
  if (values == 0 || value > max) max = value;
  ++values;
  sum += value;
  squares += value * value;
  // Reservoir sampling: every value has the same chance to be in the sample. The n-th value
  // takes the place of a draw from [0, n) when the draw falls inside the sample (the draw
  // scaled by multiplying: a division per value would cost more than the rest of it).
  if (sample.size() < SAMPLE) {
    sample.push_back(value);
  } else {
    __extension__ using Wide = unsigned __int128;  // GCC's and Clang's, on 64-bit targets
    const auto draw = static_cast<std::uint64_t>(
        (static_cast<Wide>(random) * static_cast<std::uint64_t>(values)) >> 64);
    if (draw < SAMPLE) sample[draw] = value;
  }
}

double ReportTest::deviation() const {
  if (values < 2) return 0;
  const double m = mean();
  return std::sqrt(std::max(0.0, (squares - values * m * m) / (values - 1)));
}

std::optional<double> ReportTest::cpk() const { return cpkOf(mean(), deviation(), low, high); }

std::optional<double> cpkOf(double mean, double deviation, std::optional<double> low,
                            std::optional<double> high) {
  if (!(deviation > 0) || (!low && !high)) return std::nullopt;
  double best = INFINITY;
  if (high) best = std::min(best, (*high - mean) / (3 * deviation));
  if (low) best = std::min(best, (mean - *low) / (3 * deviation));
  return best;
}

std::string reportHtml(const LotReportData& lot) {
  std::string title = "Lot report";
  for (const auto& [key, value] : lot.identity) {
    if (key == "Lot") title = "Lot " + value;
  }
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                    xmlEscape(title) + "</title><style>" + STYLE + "</style></head><body>\n";
  out += "<h1>" + xmlEscape(title) + "</h1>\n<table class=\"identity\">\n";
  for (const auto& [key, value] : lot.identity) {
    out += "<tr><th>" + xmlEscape(key) + "</th><td>" + xmlEscape(value) + "</td></tr>\n";
  }
  out += "<tr><th>Datalogs</th><td>";
  for (std::size_t i = 0; i < lot.files.size(); ++i) {
    out += (i > 0 ? "<br>" : "") + xmlEscape(lot.files[i]);
  }
  out += "</td></tr>\n</table>\n";
  if (!lot.actions.empty()) {
    out +=
        "<h2>Who did what</h2>\n<table class=\"actions\"><tr><th>When</th><th>Who</th>"
        "<th>What</th></tr>\n";
    for (const LotReportData::Action& action : lot.actions) {
      out += "<tr><td>" + xmlEscape(action.time) + "</td><td>" + xmlEscape(action.who) +
             "</td><td>" + xmlEscape(action.what) + "</td></tr>\n";
    }
    out += "</table>\n";
  }

  out += "<h2>Yield</h2>\n<p class=\"yield\">" + std::to_string(lot.parts) + " parts, " +
         std::to_string(lot.good) + " good: <b>" + percent(lot.good, lot.parts) + "</b>" +
         (lot.tested != lot.parts ? " (" + std::to_string(lot.tested) +
                                        " tested, retests counted once with their last result)"
                                  : "") +
         "</p>\n<table class=\"sites\"><tr><th>Head</th><th>Site</th><th>Parts</th><th>Good</th>"
         "<th>Yield</th></tr>\n";
  for (const ReportSite& site : lot.sites) {
    out += "<tr><td class=\"num\">" + std::to_string(site.head) + "</td><td class=\"num\">" +
           std::to_string(site.site) + "</td><td class=\"num\">" + std::to_string(site.parts) +
           "</td><td class=\"num\">" + std::to_string(site.good) + "</td><td class=\"num\">" +
           percent(site.good, site.parts) + "</td></tr>\n";
  }
  out += "</table>\n";
  if (!lot.wafers.empty()) {
    out +=
        "<table class=\"wafers\"><tr><th>Wafer</th><th>Dies</th><th>Good</th><th>Yield</th>"
        "<th>Tested</th><th>Retests</th></tr>\n";
    for (const MapWafer& wafer : lot.wafers) {
      const long dies = static_cast<long>(wafer.dies.size());
      out += "<tr><td>" + xmlEscape(wafer.id) + "</td><td class=\"num\">" + std::to_string(dies) +
             "</td><td class=\"num\">" + std::to_string(wafer.good()) + "</td><td class=\"num\">" +
             percent(wafer.good(), dies) + "</td><td class=\"num\">" + std::to_string(wafer.parts) +
             "</td><td class=\"num\">" + std::to_string(wafer.retests) + "</td></tr>\n";
    }
    out += "</table>\n";
  }

  out += "<h2>Bins</h2>\n" + pareto(lot.bins, lot.parts) +
         "<table class=\"bins\"><tr><th>Bin</th><th>Name</th><th>P/F</th><th>Count</th><th>%</th>"
         "</tr>\n";
  for (const ReportBin& bin : lot.bins) {
    out += "<tr><td class=\"num\">" + std::to_string(bin.number) + "</td><td>" +
           xmlEscape(bin.name) + "</td><td>" + (bin.good ? "P" : "F") +
           (bin.derived ? " <small title=\"the bin records leave pass or fail blank\">(from its "
                          "parts)</small>"
                        : "") +
           "</td><td class=\"num\">" + std::to_string(bin.count) + "</td><td class=\"num\">" +
           percent(bin.count, lot.parts) + "</td></tr>\n";
  }
  out += "</table>\n";

  if (lot.pat) out += patSection(*lot.pat);

  if (!lot.wafers.empty()) {
    out += "<h2>Wafer maps</h2>\n<div class=\"maps\">\n";
    for (const MapWafer& wafer : lot.wafers) {
      out += "<figure>" + svgMap(wafer, MapBy::bin) + "</figure>\n";
    }
    out += "</div>\n";
  }

  out += "<h2>Tests</h2>\n<div class=\"tests\">\n";
  for (const ReportTest& test : lot.tests) {
    const std::optional<double> cpk = test.cpk();
    out += "<div class=\"test\" data-test=\"" + std::to_string(test.number) + "\"><b>" +
           std::to_string(test.number) + " " + xmlEscape(test.name) + "</b>" +
           (test.unit.empty() ? "" : " [" + xmlEscape(test.unit) + "]") + "<br>" +
           std::to_string(test.executions) + " executions, " + std::to_string(test.fails) +
           " failed; mean " + number(test.mean()) + ", sd " + number(test.deviation()) + ", Cpk " +
           (cpk ? std::string(*cpk < 1.33 ? "<span class=\"low\">" : "<span>") + fixed(*cpk, 2) +
                      "</span>"
                : std::string("none")) +
           "<br>" + histogram(test) + "</div>\n";
  }
  out += "</div>\n</body></html>\n";
  return out;
}

}  // namespace stdf
