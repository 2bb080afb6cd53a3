// Small helpers of the equipment's units: items of the common shapes, the clock in SEMI's
// format, and which messages the equipment knows.
#ifndef ATE_STATION_GEM_GEMITEMS_H_
#define ATE_STATION_GEM_GEMITEMS_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/gem/GemModel.h"
#include "station/gem/Secs2.h"

namespace gem {

using secs::Format;
using secs::Item;

inline Item text(const std::string& value) { return Item::ascii(value); }
inline Item u4(std::uint64_t value) { return Item::u4(value); }
inline Item ack(std::uint8_t code) { return Item::binary(code); }

inline std::string encoded(const Item& item) {
  std::string out;
  secs::encode(item, out);
  return out;
}

// "YYYYMMDDhhmmsscc", local time (SEMI's 16-byte TIME).
inline std::string clockText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  const auto centis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000 /
      10;
  char out[64];
  std::snprintf(out, sizeof out, "%04d%02d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(centis));
  return out;
}

inline Item binCounts(const std::vector<std::pair<std::uint32_t, long>>& bins) {
  std::vector<Item> items;
  for (const auto& [bin, count] : bins) {
    items.push_back(Item::list({u4(bin), u4(static_cast<std::uint64_t>(std::max(0L, count)))}));
  }
  return Item::list(std::move(items));
}

// The ids of a list of integer items (or of one integer array); nullopt when it is neither.
inline std::optional<std::vector<std::uint32_t>> ids(const Item& item) {
  std::vector<std::uint32_t> out;
  if (item.isList()) {
    for (const Item& inner : item.items()) {
      const auto id = inner.unsignedValue();
      if (!id) return std::nullopt;
      out.push_back(static_cast<std::uint32_t>(*id));
    }
    return out;
  }
  if (item.isInteger()) {
    for (const std::uint64_t v : item.unsignedValues())
      out.push_back(static_cast<std::uint32_t>(v));
    for (const std::int64_t v : item.signedValues()) {
      if (v < 0) return std::nullopt;
      out.push_back(static_cast<std::uint32_t>(v));
    }
    return out;
  }
  return std::nullopt;
}

inline std::uint8_t alarmCategory(std::uint32_t alid) {
  switch (alid) {
    case AL_DRIVER:
      return 5;  // irrecoverable error
    case AL_DELIVERY:
      return 8;  // data integrity
    default:
      return 6;  // equipment status warning
  }
}

inline bool knownPrimary(int stream, int function) {
  switch (stream) {
    case 1:
      return function == 1 || function == 3 || function == 11 || function == 13 || function == 15 ||
             function == 17 || function == 21 || function == 23;
    case 2:
      return function == 13 || function == 15 || function == 17 || function == 29 ||
             function == 31 || function == 33 || function == 35 || function == 37 || function == 41;
    case 5:
      return function == 3 || function == 5 || function == 7;
    case 7:
      return function == 19;
    case 10:
      return function == 3;
    default:
      return false;
  }
}

inline bool knownStream(int stream) {
  return stream == 1 || stream == 2 || stream == 5 || stream == 6 || stream == 7 || stream == 9 ||
         stream == 10;
}

}  // namespace gem

#endif  // ATE_STATION_GEM_GEMITEMS_H_
