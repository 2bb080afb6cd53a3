#include "datalog/LotFile.h"

#include <set>

namespace datalog {

namespace {

const std::set<std::string_view> MIR_KEYS = {"LOT_ID",   "SBLOT_ID", "PART_TYP",
                                             "OPER_NAM", "TEST_COD", "TST_TEMP",
                                             "NODE_NAM", "MODE_COD", "RTST_COD"};

// A decimal number from low to high, nothing else.
bool whole(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value >= low && value <= high;
}

}  // namespace

bool parseLotFile(std::string_view text, LotFile& lot, std::string& error) {
  lot = LotFile{};
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    const std::string_view key = line.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
    const auto bad = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (equals == std::string_view::npos) return bad("no KEY=VALUE");
    std::uint64_t n = 0;
    if (MIR_KEYS.count(key) != 0) {
      const bool oneCharacter = key == "MODE_COD" || key == "RTST_COD";
      if (oneCharacter && value.size() != 1) return bad(std::string(key) + " is one character");
      lot.mir[std::string(key)] = std::string(value);
    } else if (key == "FILE") {
      lot.file = std::string(value);
    } else if (key == "FIRST_PART_ID") {
      if (!whole(value, 1, 999999999999999ull, n)) return bad("FIRST_PART_ID is a number from 1");
      lot.firstPartId = n;
    } else if (key.substr(0, 5) == "SITE.") {
      if (!whole(key.substr(5), 1, 255, n)) return bad("a site is a number from 1 to 255");
      if (value.empty()) return bad("site " + std::to_string(n) + " names no device");
      lot.sites[std::string(value)] = static_cast<std::uint8_t>(n);
    } else {
      return bad("unknown key \"" + std::string(key.substr(0, 40)) + "\"");
    }
  }
  return true;
}

}  // namespace datalog
