// How a limit's text in a flow file reads as a number. The datalog and ate-check both call
// parseLimit, so what the checker warns about is exactly what the datalog treats as no limit.
#ifndef ATE_UTILS_LIMITTEXT_H_
#define ATE_UTILS_LIMITTEXT_H_

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

// One side of a parameter's limits.
struct Limit {
  bool present = false;    // false: no limit on this side
  bool malformed = false;  // the text was not a number (and so there is no limit)
  double value = 0.0;
};

// Empty text, or only spaces and tabs, is no limit. Otherwise the text, spaces and tabs around
// it aside, must be one finite number in decimal or exponent notation ("3.3", "-1e-3", "+2",
// ".5"), read the same whatever the process's locale: no hexadecimal, no "inf" or "nan", no
// decimal comma, no unit after it.
inline Limit parseLimit(std::string_view text) {
  Limit limit;
  const std::string_view::size_type begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return limit;
  text = text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
  // from_chars takes no leading '+' (and must not be handed "+-1").
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  const char* last = text.data() + text.size();
  double value = 0.0;
  const auto [stop, error] = std::from_chars(text.data(), last, value, std::chars_format::general);
  if (error != std::errc() || stop != last || !std::isfinite(value)) {
    limit.malformed = true;
    return limit;
  }
  limit.present = true;
  limit.value = value;
  return limit;
}

#endif  // ATE_UTILS_LIMITTEXT_H_
