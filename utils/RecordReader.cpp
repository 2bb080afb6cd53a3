#include "RecordReader.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// Every key must be present: at() throws out_of_range (403) naming the key and the object's path,
// and type_error (304) when the value isn't an object at all.
const json& member(const json& object, const char* key) { return object.at(key); }

// Readers of every field type; the templates below call them by overload.
void read(const json& value, std::string& out);
void read(const json& value, bool& out);
void read(const json& value, int& out);
void read(const json& value, Level& out);
void read(const json& value, Result& out);
void read(const json& value, TestItem& out);
void read(const json& value, FlowMessage& out);
void read(const json& value, ExecuteSetting& out);
void read(const json& value, DUTSetting& out);
void read(const json& value, Setting& out);

void read(const json& value, std::string& out) { out = value.get<std::string>(); }

void read(const json& value, bool& out) { out = value.get<bool>(); }

// An int field takes a JSON number or true/false. Integers are reduced modulo 2^32 into the
// signed 32-bit range (the 64-bit value's low 32 bits); numbers written with a fraction or an
// exponent, or too large for 64 bits, are truncated toward zero and must then fit in 32 bits.
void read(const json& value, int& out) {
  switch (value.type()) {
    case json::value_t::boolean:
      out = value.get<bool>() ? 1 : 0;
      return;
    case json::value_t::number_integer:
      out = static_cast<std::int32_t>(
          static_cast<std::uint32_t>(static_cast<std::uint64_t>(value.get<std::int64_t>())));
      return;
    case json::value_t::number_unsigned:
      out = static_cast<std::int32_t>(static_cast<std::uint32_t>(value.get<std::uint64_t>()));
      return;
    case json::value_t::number_float: {
      const double truncated = std::trunc(value.get<double>());
      if (!(truncated >= std::numeric_limits<std::int32_t>::min() &&
            truncated <= std::numeric_limits<std::int32_t>::max())) {
        throw json::type_error::create(
            302, "number " + value.dump() + " does not fit a 32-bit integer", &value);
      }
      out = static_cast<int>(truncated);
      return;
    }
    default:
      throw json::type_error::create(
          302, std::string("type must be number, but is ") + value.type_name(), &value);
  }
}

template <typename T>
void read(const json& value, std::vector<T>& out) {
  if (!value.is_array()) {
    throw json::type_error::create(
        302, std::string("type must be array, but is ") + value.type_name(), &value);
  }
  std::vector<T> items;
  items.reserve(value.size());
  for (const json& element : value) {
    items.emplace_back();
    read(element, items.back());
  }
  out = std::move(items);
}

template <typename T>
void field(const json& object, const char* key, T& out) {
  read(member(object, key), out);
}

// Records are read field by field in declaration order.

void read(const json& value, Level& out) {
  field(value, "clampHi", out.clampHi);
  field(value, "clampLow", out.clampLow);
  field(value, "iOH", out.iOH);
  field(value, "iOL", out.iOL);
  field(value, "vIH", out.vIH);
  field(value, "vIL", out.vIL);
  field(value, "vOH", out.vOH);
  field(value, "vOL", out.vOL);
  field(value, "vT", out.vT);
}

void read(const json& value, Result& out) {
  field(value, "max", out.max);
  field(value, "min", out.min);
  field(value, "paramId", out.paramId);
  field(value, "paramName", out.paramName);
  field(value, "unit", out.unit);
}

void read(const json& value, TestItem& out) {
  field(value, "failJump", out.failJump);
  field(value, "flag", out.flag);
  field(value, "funcDesc", out.funcDesc);
  field(value, "funcId", out.funcId);
  field(value, "funcName", out.funcName);
  field(value, "hbin", out.hbin);
  field(value, "level", out.level);
  field(value, "loop", out.loop);
  field(value, "passJump", out.passJump);
  field(value, "pattern", out.pattern);
  field(value, "results", out.results);
  field(value, "sbin", out.sbin);
  field(value, "select", out.select);
}

void read(const json& value, FlowMessage& out) { field(value, "testItems", out.testItems); }

void read(const json& value, ExecuteSetting& out) {
  field(value, "failstop", out.failstop);
  field(value, "loopcount", out.loopcount);
}

void read(const json& value, DUTSetting& out) { field(value, "selectDUT", out.selectDUT); }

void read(const json& value, Setting& out) {
  field(value, "executeSetting", out.executeSetting);
  field(value, "dutSetting", out.dutSetting);
}

}  // namespace

void readRecord(const json& value, TestItem& out) { read(value, out); }

void readRecord(const json& value, FlowMessage& out) { read(value, out); }

void readRecord(const json& value, Setting& out) { read(value, out); }
