#include "utils/RecordReader.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// Reads records field by field. Without a problem list every failure throws nlohmann::json's own
// exception, exactly as reading with get<>() and at() would; with one, the failure is listed
// with its path and the reading goes on.
class Reader {
 public:
  explicit Reader(std::vector<RecordProblem>* problems) : problems_(problems) {}

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
  template <typename T>
  void read(const json& value, std::vector<T>& out);

 private:
  bool collecting() const { return problems_ != nullptr; }

  // Lists a problem at the current path (collecting only).
  void problem(const std::string& message) { problems_->push_back({path_, message}); }

  // Whether value can hold a record's keys; lists the problem when it can't (collecting only:
  // otherwise at() reports it).
  bool isRecord(const json& value);

  template <typename T>
  void field(const json& object, const char* key, T& out);

  std::vector<RecordProblem>* problems_;
  std::string path_;  // JSON pointer of the value being read, kept while collecting
};

std::string article(const char* typeName) {
  const std::string name = typeName;
  return (name == "array" || name == "object" ? "an " : "a ") + name;
}

void Reader::read(const json& value, std::string& out) {
  if (collecting() && !value.is_string()) {
    const bool limit = path_.size() >= 4 && (path_.compare(path_.size() - 4, 4, "/max") == 0 ||
                                             path_.compare(path_.size() - 4, 4, "/min") == 0);
    problem(std::string("must be a string") +
            (limit && value.is_number()
                 ? " holding the limit (write \"" + value.dump() + "\", not " + value.dump() + ")"
                 : "") +
            ", but is " + article(value.type_name()));
    return;
  }
  out = value.get<std::string>();
}

void Reader::read(const json& value, bool& out) {
  if (collecting() && !value.is_boolean()) {
    problem(std::string("must be true or false, but is ") + article(value.type_name()));
    return;
  }
  out = value.get<bool>();
}

// An int field takes a JSON number or true/false. Integers are reduced modulo 2^32 into the
// signed 32-bit range (the 64-bit value's low 32 bits); numbers written with a fraction or an
// exponent, or too large for 64 bits, are truncated toward zero and must then fit in 32 bits.
void Reader::read(const json& value, int& out) {
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
        if (collecting()) {
          problem("the number " + value.dump() +
                  " does not fit a 32-bit integer (a number written with a fraction or an "
                  "exponent must lie between -2147483648 and 2147483647)");
          return;
        }
        throw json::type_error::create(
            302, "number " + value.dump() + " does not fit a 32-bit integer", &value);
      }
      out = static_cast<int>(truncated);
      return;
    }
    default:
      if (collecting()) {
        problem(std::string("must be a number or true/false, but is ") +
                article(value.type_name()));
        return;
      }
      throw json::type_error::create(
          302, std::string("type must be number, but is ") + value.type_name(), &value);
  }
}

template <typename T>
void Reader::read(const json& value, std::vector<T>& out) {
  if (!value.is_array()) {
    if (collecting()) {
      problem(std::string("must be an array, but is ") + article(value.type_name()));
      return;
    }
    throw json::type_error::create(
        302, std::string("type must be array, but is ") + value.type_name(), &value);
  }
  std::vector<T> items;
  items.reserve(value.size());
  const std::string::size_type length = path_.size();
  for (const json& element : value) {
    items.emplace_back();
    if (collecting()) path_.append("/").append(std::to_string(items.size() - 1));
    read(element, items.back());
    if (collecting()) path_.resize(length);
  }
  out = std::move(items);
}

bool Reader::isRecord(const json& value) {
  if (!collecting() || value.is_object()) return true;
  problem(std::string("must be an object, but is ") + article(value.type_name()));
  return false;
}

// Every key must be present: at() throws out_of_range (403) naming the key and the object's path,
// and type_error (304) when the value isn't an object at all.
template <typename T>
void Reader::field(const json& object, const char* key, T& out) {
  if (!collecting()) {
    read(object.at(key), out);
    return;
  }
  const std::string::size_type length = path_.size();
  path_.append("/").append(key);
  const auto member = object.find(key);
  if (member == object.end()) {
    problem("is missing (every key is required)");
  } else {
    read(*member, out);
  }
  path_.resize(length);
}

// Records are read field by field in declaration order.

void Reader::read(const json& value, Level& out) {
  if (!isRecord(value)) return;
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

void Reader::read(const json& value, Result& out) {
  if (!isRecord(value)) return;
  field(value, "max", out.max);
  field(value, "min", out.min);
  field(value, "paramId", out.paramId);
  field(value, "paramName", out.paramName);
  field(value, "unit", out.unit);
}

void Reader::read(const json& value, TestItem& out) {
  if (!isRecord(value)) return;
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

void Reader::read(const json& value, FlowMessage& out) {
  if (!isRecord(value)) return;
  field(value, "testItems", out.testItems);
}

void Reader::read(const json& value, ExecuteSetting& out) {
  if (!isRecord(value)) return;
  field(value, "failstop", out.failstop);
  field(value, "loopcount", out.loopcount);
}

void Reader::read(const json& value, DUTSetting& out) {
  if (!isRecord(value)) return;
  field(value, "selectDUT", out.selectDUT);
}

void Reader::read(const json& value, Setting& out) {
  if (!isRecord(value)) return;
  field(value, "executeSetting", out.executeSetting);
  field(value, "dutSetting", out.dutSetting);
}

}  // namespace

void readRecord(const json& value, TestItem& out) { Reader(nullptr).read(value, out); }

void readRecord(const json& value, FlowMessage& out) { Reader(nullptr).read(value, out); }

void readRecord(const json& value, Setting& out) { Reader(nullptr).read(value, out); }

void readRecord(const json& value, FlowMessage& out, std::vector<RecordProblem>& problems) {
  Reader(&problems).read(value, out);
}

void readRecord(const json& value, Setting& out, std::vector<RecordProblem>& problems) {
  Reader(&problems).read(value, out);
}

FileOpening openForReading(const std::string& path, std::ifstream& stream,
                           std::error_code& failure) {
  const std::filesystem::path name(path);
  const bool exists = std::filesystem::exists(name, failure);
  if (failure) return FileOpening::unknown;
  if (!exists) return FileOpening::missing;
  if (!std::filesystem::is_directory(name, failure)) {
    stream.open(path, std::ios::in | std::ios::binary);
  }
  return stream.is_open() ? FileOpening::opened : FileOpening::unreadable;
}
