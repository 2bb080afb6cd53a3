#include "stdf/WaferMap.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace stdf {

namespace {

// Failing bins' colours, far apart from green and from each other.
const char* const PALETTE[] = {"#d7263d", "#f49d37", "#7b2cbf", "#1f77b4", "#8c564b",
                               "#e377c2", "#17becf", "#bcbd22", "#ff6f91", "#5f6c7b",
                               "#3d5a80", "#c44536", "#9c6644", "#2a9d8f", "#6d597a"};
const char* const GOOD_COLOURS[] = {"#2e9d48", "#7ccf8a", "#1b6b34", "#a6e3b0"};

const char* const DIGITS = "0123456789abcdefghijklmnopqrstuvwxyz";
const char* const LEGEND = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!#$%&*+=?@^~";

std::string percent(long part, long whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * part / whole);
  return text;
}

std::string figures(const MapWafer& wafer) {
  return std::to_string(wafer.dies.size()) + " dies, " + std::to_string(wafer.good()) + " good (" +
         percent(wafer.good(), static_cast<long>(wafer.dies.size())) + "), " +
         std::to_string(wafer.parts) + " parts tested, " + std::to_string(wafer.retests) +
         " retests";
}

std::string heading(const MapWafer& wafer) { return "wafer " + wafer.id + ": " + figures(wafer); }

using Extent = MapExtent;
Extent extent(const MapWafer& wafer) { return mapExtent(wafer); }

// The values the map shows, with their counts and, for bins, whether they are good.
struct Key {
  int value;
  long count = 0;
  bool good = false;
};

std::vector<Key> keys(const MapWafer& wafer, MapBy by) {
  std::map<int, Key> found;
  for (const MapDie& die : wafer.dies) {
    Key& key = found.emplace(mapValue(die, by), Key{mapValue(die, by)}).first->second;
    ++key.count;
    key.good = key.good || die.passed;
  }
  std::vector<Key> out;
  for (const auto& [value, key] : found) out.push_back(key);
  return out;
}

// The colour of each value shown: bins as binColour says; sites each their own.
std::map<int, std::string> colours(const std::vector<Key>& shown, MapBy by) {
  std::map<int, std::string> out;
  int failing = 0;
  int good = 0;
  int index = 0;
  for (const Key& key : shown) {
    if (by == MapBy::site) {
      out[key.value] = PALETTE[index++ % std::size(PALETTE)];
    } else if (key.good) {
      out[key.value] = GOOD_COLOURS[good++ % std::size(GOOD_COLOURS)];
    } else {
      out[key.value] = binColour(key.value, false, failing++);
    }
  }
  return out;
}

}  // namespace

MapExtent mapExtent(const MapWafer& wafer) {
  MapExtent e{INT_MAX, INT_MIN, INT_MAX, INT_MIN};
  for (const MapDie& die : wafer.dies) {
    e.minX = std::min(e.minX, die.x);
    e.maxX = std::max(e.maxX, die.x);
    e.minY = std::min(e.minY, die.y);
    e.maxY = std::max(e.maxY, die.y);
  }
  return e;
}

long MapWafer::good() const {
  return static_cast<long>(
      std::count_if(dies.begin(), dies.end(), [](const MapDie& die) { return die.passed; }));
}

int mapValue(const MapDie& die, MapBy by) { return by == MapBy::bin ? die.hardBin : die.site; }

std::string binColour(int, bool good, int failingIndex) {
  return good ? GOOD_COLOURS[0] : PALETTE[failingIndex % std::size(PALETTE)];
}

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string textMap(const MapWafer& wafer, MapBy by) {
  std::string out = heading(wafer) + "\n";
  if (wafer.dies.empty()) return out;
  const std::vector<Key> shown = keys(wafer, by);
  const bool digits = std::all_of(shown.begin(), shown.end(),
                                  [](const Key& key) { return key.value >= 0 && key.value < 36; });
  std::map<int, char> symbol;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    symbol[shown[i].value] =
        digits ? DIGITS[shown[i].value] : LEGEND[std::min(i, std::strlen(LEGEND) - 1)];
  }
  const Extent e = extent(wafer);
  const std::size_t width = static_cast<std::size_t>(e.maxX - e.minX + 1);
  std::vector<std::string> rows(static_cast<std::size_t>(e.maxY - e.minY + 1),
                                std::string(width, '.'));
  for (const MapDie& die : wafer.dies) {
    rows[static_cast<std::size_t>(die.y - e.minY)][static_cast<std::size_t>(die.x - e.minX)] =
        symbol[mapValue(die, by)];
  }
  out += "X " + std::to_string(e.minX) + " to " + std::to_string(e.maxX) + " left to right, Y " +
         std::to_string(e.minY) + " to " + std::to_string(e.maxY) + " top to bottom\n";
  for (const std::string& row : rows) out += row + "\n";
  const char* what = by == MapBy::bin ? "bin" : "site";
  for (const Key& key : shown) {
    out += std::string("  ") + symbol[key.value] + " " + what + " " + std::to_string(key.value) +
           ": " + std::to_string(key.count) + " dies" +
           (by == MapBy::bin ? (key.good ? ", good" : ", failing") : "") + "\n";
  }
  return out;
}

std::string svgMap(const MapWafer& wafer, MapBy by) {
  const std::vector<Key> shown = keys(wafer, by);
  const std::map<int, std::string> colour = colours(shown, by);
  const Extent e = wafer.dies.empty() ? Extent{0, 0, 0, 0} : extent(wafer);
  const int columns = e.maxX - e.minX + 1;
  const int rows = e.maxY - e.minY + 1;
  // Cells as large as fit a map of about 640 pixels, and no smaller than 2.
  const int cell = std::max(2, std::min(24, 640 / std::max(columns, rows)));
  const int top = 40;
  const int mapWidth = columns * cell;
  const int legendX = mapWidth + 30;
  const int width = legendX + 200;
  const int height =
      std::max(top + rows * cell + 20, top + 20 * static_cast<int>(shown.size()) + 20);
  const char* what = by == MapBy::bin ? "bin" : "site";
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                    "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
                    std::to_string(width) + " " + std::to_string(height) +
                    "\" font-family=\"sans-serif\" font-size=\"12\" data-wafer=\"" +
                    xmlEscape(wafer.id) + "\">\n";
  out += "<title>" + xmlEscape(heading(wafer)) + "</title>\n";
  out += "<text x=\"4\" y=\"16\" font-size=\"14\" font-weight=\"bold\">wafer " +
         xmlEscape(wafer.id) + "</text>\n";
  out += "<text x=\"4\" y=\"32\">" + xmlEscape(figures(wafer)) + "</text>\n";
  out += "<g class=\"dies\" stroke=\"#ffffff\" stroke-width=\"" +
         std::string(cell > 4 ? "0.5" : "0") + "\">\n";
  // Thousands of dies: each one's element appended piece by piece, with no temporaries.
  const std::string size = std::to_string(cell);
  const auto put = [](std::string& to, std::initializer_list<const char*> texts) {
    for (const char* text : texts) to += text;
  };
  const auto number = [](std::string& to, long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    to.append(digits, static_cast<std::size_t>(end - digits));
  };
  const auto place = [&](std::string& to, const MapDie& die) {
    to += "<rect x=\"";
    number(to, (die.x - e.minX) * cell);
    to += "\" y=\"";
    number(to, top + (die.y - e.minY) * cell);
    put(to, {"\" width=\"", size.c_str(), "\" height=\"", size.c_str(), "\""});
  };
  for (const MapDie& die : wafer.dies) {
    place(out, die);
    put(out, {" fill=\"", colour.at(mapValue(die, by)).c_str(), "\" data-x=\""});
    number(out, die.x);
    out += "\" data-y=\"";
    number(out, die.y);
    out += "\" data-bin=\"";
    number(out, die.hardBin);
    out += "\" data-site=\"";
    number(out, die.site);
    out += "\"><title>X ";
    number(out, die.x);
    out += ", Y ";
    number(out, die.y);
    out += ": bin ";
    number(out, die.hardBin);
    out += ", site ";
    number(out, die.site);
    out += ", part ";
    out += xmlEscape(die.partId);
    if (die.tests > 1) {
      out += ", tested ";
      number(out, die.tests);
      out += " times";
    }
    out += "</title></rect>\n";
  }
  out += "</g>\n";
  // Outliers of the screening outlined, each carrying its rule.
  std::string outlined;
  for (const MapDie& die : wafer.dies) {
    if (die.outlier.empty()) continue;
    place(outlined, die);
    outlined += " data-x=\"";
    number(outlined, die.x);
    outlined += "\" data-y=\"";
    number(outlined, die.y);
    put(outlined, {"\" data-rule=\"", xmlEscape(die.outlier).c_str(), "\"><title>outlier (",
                   xmlEscape(die.outlier).c_str(), ")</title></rect>\n"});
  }
  if (!outlined.empty()) {
    out += "<g class=\"outliers\" fill=\"none\" stroke=\"#111111\" stroke-width=\"" +
           std::string(cell > 6 ? "2" : "1") + "\">\n" + outlined + "</g>\n";
  }
  out += "<g class=\"legend\">\n";
  int y = top;
  for (const Key& key : shown) {
    out += "<rect x=\"" + std::to_string(legendX) + "\" y=\"" + std::to_string(y) +
           "\" width=\"12\" height=\"12\" fill=\"" + colour.at(key.value) + "\"/>";
    out += "<text x=\"" + std::to_string(legendX + 18) + "\" y=\"" + std::to_string(y + 11) +
           "\">" + what + " " + std::to_string(key.value) + ": " + std::to_string(key.count) +
           (by == MapBy::bin ? (key.good ? " good" : " failing") : "") + "</text>\n";
    y += 20;
  }
  out += "</g>\n</svg>\n";
  return out;
}

}  // namespace stdf
