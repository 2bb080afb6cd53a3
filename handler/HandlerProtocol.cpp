#include "handler/HandlerProtocol.h"

#include <set>

namespace handler {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && isSpace(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !isSpace(line[at])) ++at;
    if (at > start) out.push_back(line.substr(start, at - start));
  }
  return out;
}

// The text after the first word, without the white space around it.
std::string_view rest(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && isSpace(line[at])) ++at;
  while (at < line.size() && !isSpace(line[at])) ++at;
  while (at < line.size() && isSpace(line[at])) ++at;
  std::size_t end = line.size();
  while (end > at && isSpace(line[end - 1])) --end;
  return line.substr(at, end - at);
}

// A decimal number within [low, high], with a sign only when signed is set.
bool number(std::string_view text, bool allowSign, long low, long high, int& value) {
  std::size_t at = 0;
  bool negative = false;
  if (allowSign && !text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    at = 1;
  }
  if (at == text.size() || text.size() - at > 9) return false;
  long parsed = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    parsed = parsed * 10 + (text[at] - '0');
  }
  if (negative) parsed = -parsed;
  if (parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

// X_COORD and Y_COORD are two-byte signed fields whose lowest value means "no coordinate".
constexpr long COORD_LIMIT = 32767;

bool siteEntry(std::string_view word, int siteCount, SiteEntry& entry, std::string& error) {
  const std::size_t equals = word.find('=');
  const std::string_view site = word.substr(0, equals);
  if (!number(site, false, 1, 1000000000, entry.site)) {
    error = "\"" + std::string(site) + "\" is no site number";
    return false;
  }
  if (entry.site > siteCount) {
    error = "site " + std::to_string(entry.site) + " is out of range (the lot has " +
            std::to_string(siteCount) + " site" + (siteCount == 1 ? "" : "s") + ")";
    return false;
  }
  if (equals == std::string_view::npos) return true;
  const std::string_view xy = word.substr(equals + 1);
  const std::size_t comma = xy.find(',');
  DieXY die;
  if (comma == std::string_view::npos ||
      !number(xy.substr(0, comma), true, -COORD_LIMIT, COORD_LIMIT, die.x) ||
      !number(xy.substr(comma + 1), true, -COORD_LIMIT, COORD_LIMIT, die.y)) {
    error = "\"" + std::string(xy) + "\" is no die position X,Y (each within +-" +
            std::to_string(COORD_LIMIT) + ")";
    return false;
  }
  entry.die = die;
  return true;
}

bool alone(const std::vector<std::string_view>& parts, std::string& error) {
  if (parts.size() == 1) return true;
  error = std::string(parts[0]) + " takes nothing after it";
  return false;
}

}  // namespace

bool parseHandlerLine(std::string_view line, int siteCount, HandlerMessage& message,
                      std::string& error) {
  message = HandlerMessage{};
  const std::vector<std::string_view> parts = words(line);
  if (parts.empty()) {
    error = "an empty line";
    return false;
  }
  const std::string_view word = parts[0];
  if (word == "SOT") {
    message.kind = HandlerMessage::Kind::sot;
    if (parts.size() == 1) {
      error = "a SOT names no site";
      return false;
    }
    std::set<int> seen;
    for (std::size_t i = 1; i < parts.size(); ++i) {
      SiteEntry entry;
      if (!siteEntry(parts[i], siteCount, entry, error)) return false;
      if (!seen.insert(entry.site).second) {
        error = "site " + std::to_string(entry.site) + " is named twice";
        return false;
      }
      if (i > 1 && entry.die.has_value() != message.sites.front().die.has_value()) {
        error = "either every site of a SOT carries its die's X,Y or none does";
        return false;
      }
      message.sites.push_back(entry);
    }
    return true;
  }
  if (word == "ALARM") {
    message.kind = HandlerMessage::Kind::alarm;
    message.text = std::string(rest(line));
    return true;
  }
  if (word == "WAFER") {
    message.kind = HandlerMessage::Kind::wafer;
    message.text = std::string(rest(line));
    if (message.text.empty()) {
      error = "WAFER needs the wafer's id";
      return false;
    }
    return true;
  }
  if (word == "EOL" || word == "READY" || word == "EOW") {
    message.kind = word == "EOL"     ? HandlerMessage::Kind::eol
                   : word == "READY" ? HandlerMessage::Kind::ready
                                     : HandlerMessage::Kind::eow;
    return alone(parts, error);
  }
  error = "unknown word \"" + std::string(word.substr(0, 40)) + "\"";
  return false;
}

bool parseStationLine(std::string_view line, StationMessage& message, std::string& error) {
  message = StationMessage{};
  const std::vector<std::string_view> parts = words(line);
  if (parts.empty()) {
    error = "an empty line";
    return false;
  }
  const std::string_view word = parts[0];
  if (word == "HELLO") {
    message.kind = StationMessage::Kind::hello;
    if (parts.size() != 3 || parts[1] != "ate-station") {
      error = "HELLO must be \"HELLO ate-station VERSION\"";
      return false;
    }
    message.text = std::string(parts[2]);
    return true;
  }
  if (word == "BIN") {
    message.kind = StationMessage::Kind::bin;
    for (std::size_t i = 1; i < parts.size(); ++i) {
      const std::size_t equals = parts[i].find('=');
      int site = 0;
      int bin = 0;
      if (equals == std::string_view::npos ||
          !number(parts[i].substr(0, equals), false, 1, 1000000000, site) ||
          !number(parts[i].substr(equals + 1), false, 0, 65535, bin)) {
        error = "\"" + std::string(parts[i]) + "\" is no SITE=BIN entry";
        return false;
      }
      message.bins.emplace_back(site, bin);
    }
    if (message.bins.empty()) {
      error = "a BIN names no site";
      return false;
    }
    return true;
  }
  if (word == "ERROR") {
    message.kind = StationMessage::Kind::error;
    message.text = std::string(rest(line));
    return true;
  }
  if (word == "PAUSE" || word == "RESUME") {
    message.kind = word == "PAUSE" ? StationMessage::Kind::pause : StationMessage::Kind::resume;
    return alone(parts, error);
  }
  error = "unknown word \"" + std::string(word.substr(0, 40)) + "\"";
  return false;
}

std::string helloLine(const std::string& version) { return "HELLO ate-station " + version; }

std::string binLine(const std::vector<std::pair<int, int>>& siteBins) {
  std::string line = "BIN";
  for (const auto& [site, bin] : siteBins) {
    line += " " + std::to_string(site) + "=" + std::to_string(bin);
  }
  return line;
}

std::string errorLine(const std::string& text) {
  // One line, whatever the text holds.
  std::string line = "ERROR " + text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line.substr(0, MAX_LINE);
}

std::string sotLine(const std::vector<SiteEntry>& sites) {
  std::string line = "SOT";
  for (const SiteEntry& entry : sites) {
    line += " " + std::to_string(entry.site);
    if (entry.die) line += "=" + std::to_string(entry.die->x) + "," + std::to_string(entry.die->y);
  }
  return line;
}

void LineSplitter::add(std::string_view bytes, std::vector<Line>& lines) {
  for (const char c : bytes) {
    if (c == '\n') {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      lines.push_back(Line{std::move(partial_), overlong_});
      partial_.clear();
      overlong_ = false;
    } else if (partial_.size() <= MAX_LINE) {
      // One byte past the limit is kept, so that a carriage return there can still be dropped.
      partial_.push_back(c);
      if (partial_.size() > MAX_LINE && partial_.back() != '\r') overlong_ = true;
    } else {
      overlong_ = true;
    }
  }
}

void LineSplitter::clear() {
  partial_.clear();
  overlong_ = false;
}

}  // namespace handler
