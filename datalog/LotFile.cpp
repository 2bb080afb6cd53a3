#include "datalog/LotFile.h"

#include <charconv>
#include <cmath>
#include <set>

namespace datalog {

namespace {

const std::set<std::string_view> MIR_KEYS = {"LOT_ID",   "SBLOT_ID", "PART_TYP", "OPER_NAM",
                                             "TEST_COD", "TST_TEMP", "NODE_NAM", "MODE_COD",
                                             "RTST_COD", "JOB_NAM",  "JOB_REV"};

// A SHA-256 as 64 lowercase hex digits.
bool sha256Text(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

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

// A whole signed decimal number from low to high.
bool integer(std::string_view text, long low, long high, long& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

bool waferField(std::string_view field, std::string_view value, WaferConfig& wafer) {
  long n = 0;
  if (field == "WAFR_SIZ" || field == "DIE_HT" || field == "DIE_WID") {
    float size = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
    if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(size) ||
        size < 0) {
      return false;
    }
    (field == "WAFR_SIZ" ? wafer.size
     : field == "DIE_HT" ? wafer.dieHeight
                         : wafer.dieWidth) = size;
  } else if (field == "WF_UNITS") {
    if (!integer(value, 0, 4, n)) return false;
    wafer.units = static_cast<std::uint8_t>(n);
  } else if (field == "CENTER_X" || field == "CENTER_Y") {
    if (!integer(value, -32767, 32767, n)) return false;
    (field == "CENTER_X" ? wafer.centerX : wafer.centerY) = static_cast<std::int16_t>(n);
  } else if (field == "WF_FLAT" || field == "POS_X" || field == "POS_Y") {
    const std::string_view allowed = field == "WF_FLAT" ? "UDLR" : field == "POS_X" ? "LR" : "UD";
    if (value.size() != 1 || allowed.find(value[0]) == std::string_view::npos) return false;
    (field == "WF_FLAT" ? wafer.flat : field == "POS_X" ? wafer.posX : wafer.posY) = value[0];
  } else {
    return false;
  }
  return true;
}

// Calls take(number, key, value) for each KEY=VALUE line; false at the first line that is none.
template <typename Take>
bool eachLine(std::string_view text, std::string& error, Take take) {
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error = "line " + std::to_string(number) + ": no KEY=VALUE";
      return false;
    }
    std::string why;
    if (!take(line.substr(0, equals), line.substr(equals + 1), why)) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseTouchdownFile(std::string_view text, Touchdown& touchdown, std::string& error) {
  touchdown = Touchdown{};
  return eachLine(text, error, [&](std::string_view key, std::string_view value, std::string& why) {
    std::uint64_t site = 0;
    long x = 0, y = 0;
    const std::size_t comma = value.find(',');
    if (key == "WAFER") {
      touchdown.wafer = std::string(value);
    } else if (key.substr(0, 3) == "ID." && whole(key.substr(3), 1, 255, site)) {
      std::uint64_t id = 0;
      if (!whole(value, 1, 999999999999999ull, id)) {
        why = "a part id is a number from 1";
        return false;
      }
      touchdown.partIds[static_cast<std::uint8_t>(site)] = id;
    } else if (key.substr(0, 7) == "RETEST." && whole(key.substr(7), 1, 255, site)) {
      if (value != "0" && value != "1") {
        why = "RETEST is 0 or 1";
        return false;
      }
      touchdown.retests[static_cast<std::uint8_t>(site)] = value == "1";
    } else if (key.substr(0, 3) == "XY." && whole(key.substr(3), 1, 255, site)) {
      if (comma == std::string_view::npos || !integer(value.substr(0, comma), -32767, 32767, x) ||
          !integer(value.substr(comma + 1), -32767, 32767, y)) {
        why = "a die's position is X,Y, each from -32767 to 32767";
        return false;
      }
      touchdown.dies[static_cast<std::uint8_t>(site)] = {static_cast<int>(x), static_cast<int>(y)};
    } else {
      why = "unknown key \"" + std::string(key.substr(0, 40)) + "\"";
      return false;
    }
    return true;
  });
}

bool parseLotFile(std::string_view text, LotFile& lot, std::string& error) {
  lot = LotFile{};
  return eachLine(text, error, [&](std::string_view key, std::string_view value, std::string& why) {
    const auto bad = [&](const std::string& what) {
      why = what;
      return false;
    };
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
    } else if (key == "TOUCHDOWN") {
      lot.touchdownFile = std::string(value);
    } else if (key.substr(0, 8) == "PROGRAM.") {
      // PROGRAM.ROLE=SHA256 PATH
      const std::string_view role = key.substr(8);
      if (role.empty() || !sha256Text(value.substr(0, 64)) || value.size() < 66 ||
          value[64] != ' ') {
        return bad("PROGRAM." + std::string(role.substr(0, 20)) + " is a SHA-256 and a path");
      }
      lot.program.push_back(
          {std::string(role), std::string(value.substr(0, 64)), std::string(value.substr(65))});
    } else if (key == "AUDIT") {
      if (!sha256Text(value)) return bad("AUDIT is a SHA-256");
      lot.auditHead = std::string(value);
    } else if (key.substr(0, 4) == "PAT.") {
      // PAT.TEST=LOW HIGH, in the C locale's way whatever the process's locale is
      double low = 0, high = 0;
      const char* begin = value.data();
      const char* end = value.data() + value.size();
      const auto first = std::from_chars(begin, end, low);
      const auto second = first.ptr < end && *first.ptr == ' '
                              ? std::from_chars(first.ptr + 1, end, high)
                              : std::from_chars_result{first.ptr, std::errc::invalid_argument};
      if (!whole(key.substr(4), 0, 4294967295ull, n) || first.ec != std::errc() ||
          second.ec != std::errc() || second.ptr != end || !(low <= high)) {
        return bad(std::string(key.substr(0, 20)) + " is a test number's low and high limit");
      }
      lot.patLimits[static_cast<std::uint32_t>(n)] = {low, high};
    } else if (key == "PAT_BIN") {
      // PAT_BIN=HARD SOFT NAME
      std::uint64_t soft = 0;
      const std::size_t space = value.find(' '), next = value.find(' ', space + 1);
      if (space == value.npos || !whole(value.substr(0, space), 0, 32767, n) ||
          !whole(value.substr(space + 1, next == value.npos ? value.npos : next - space - 1), 0,
                 32767, soft)) {
        return bad("PAT_BIN is a hard bin, a soft bin and a name");
      }
      lot.patHardBin = static_cast<std::uint16_t>(n);
      lot.patSoftBin = static_cast<std::uint16_t>(soft);
      lot.patBinName = next == value.npos ? std::string() : std::string(value.substr(next + 1));
    } else if (key.substr(0, 4) == "WCR.") {
      if (!waferField(key.substr(4), value, lot.wafer)) {
        return bad("the wafer's " + std::string(key.substr(4, 12)) + " can't be \"" +
                   std::string(value.substr(0, 20)) + "\"");
      }
    } else if (key.substr(0, 5) == "SITE.") {
      if (!whole(key.substr(5), 1, 255, n)) return bad("a site is a number from 1 to 255");
      if (value.empty()) return bad("site " + std::to_string(n) + " names no device");
      lot.sites[std::string(value)] = static_cast<std::uint8_t>(n);
    } else {
      return bad("unknown key \"" + std::string(key.substr(0, 40)) + "\"");
    }
    return true;
  });
}

}  // namespace datalog
