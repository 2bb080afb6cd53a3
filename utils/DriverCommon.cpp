#include "utils/DriverCommon.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "utils/PrintHelper.h"
#include "utils/RecordReader.h"

namespace {

using nlohmann::json;

// Opens the file at filePath for reading. Empty when nothing exists there; throws
// std::runtime_error, after a line on standard error, when something exists but can't be opened.
std::optional<std::ifstream> openRecordFile(DriverCommon& common, const std::string& filePath) {
  if (!common.fileExists(filePath)) return std::nullopt;

  std::ifstream file;
  std::error_code failure;
  if (openForReading(filePath, file, failure) != FileOpening::opened) {
    writeLine(stderr, "Failed to open file!");
    throw std::runtime_error("Failed to open file: " + filePath);
  }
  return file;
}

// Builds JSON values from the parser's events the way nlohmann::json's own parser builds a
// document: the same values, later duplicate keys replacing earlier ones, every value knowing
// its parent (for the paths in failure messages).
class ValueBuilder {
 public:
  // Starts building a value into target.
  void begin(json& target) {
    target_ = &target;
    open_.clear();
  }
  bool building() const { return target_ != nullptr; }

  void key(std::string& key) { key_ = std::move(key); }

  // Each returns whether the value being built is complete with this event.
  bool scalar(json value) {
    place(std::move(value));
    return endIfComplete();
  }
  bool open(json::value_t type) {
    open_.push_back(&place(json(type)));
    return false;
  }
  bool close() {
    open_.pop_back();
    return endIfComplete();
  }

 private:
  json& place(json value) {
    if (open_.empty()) {
      *target_ = std::move(value);
      return *target_;
    }
    json& container = *open_.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return container.back();
    }
    json& member = container[key_];
    member = std::move(value);
    return member;
  }
  bool endIfComplete() {
    if (!open_.empty()) return false;
    target_ = nullptr;
    return true;
  }

  json* target_ = nullptr;
  std::vector<json*> open_;  // the containers being filled, innermost last
  std::string key_;          // the key of the next member of the innermost object
};

// Reads a flow from the parser's events without holding the whole document: each element of the
// root object's "testItems" array is built on its own, read into its record and let go. The
// outcome is that of reading the whole document as nlohmann::json and then the record from it:
// the same record, or the same failure (kind and message). A syntax error anywhere wins over a
// record that can't be read, which is only reported once the document has parsed; the first
// item that can't be read is kept and read again at its place in a document of the same shape,
// so that the failure names the same path.
class FlowEvents {
 public:
  // The parser's events (the interface of nlohmann::json_sax). Every one goes on: a syntax
  // error ends the parse by the exception parse_error throws.
  bool null() { return scalar(nullptr); }
  bool boolean(bool value) { return scalar(value); }
  bool number_integer(json::number_integer_t value) { return scalar(value); }
  bool number_unsigned(json::number_unsigned_t value) { return scalar(value); }
  bool number_float(json::number_float_t value, const std::string&) { return scalar(value); }
  bool string(std::string& value) { return scalar(std::move(value)); }
  bool binary(json::binary_t& value) { return scalar(json::binary(std::move(value))); }
  bool start_object(std::size_t) { return open(json::value_t::object); }
  bool start_array(std::size_t) { return open(json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& key) {
    if (builder_.building()) {
      builder_.key(key);
    } else if (rootIsObject_ && depth_ == 1) {
      rootKey_ = std::move(key);
    }
    return true;
  }
  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw error;
  }

  // After the parse: the flow, or the failure reading the whole document would have given.
  FlowMessage finish() {
    FlowMessage flow;
    if (!rootIsObject_) {
      readRecord(document_, flow);
      return flow;
    }
    if (!sawItems_) {
      readRecord(json(json::value_t::object), flow);  // throws: "testItems" not found
      return flow;
    }
    if (!itemsAreArray_) {
      json document(json::value_t::object);
      document["testItems"] = std::move(itemsValue_);
      readRecord(document, flow);  // throws: not an array
      return flow;
    }
    if (failure_) {
      json document(json::value_t::object);
      json& items = document["testItems"];
      items = json::array_t(failedIndex_);  // nulls where the items before it were
      items.push_back(std::move(failedItem_));
      TestItem item{};
      readRecord(items.back(), item);  // throws the same failure, with its path
      std::rethrow_exception(failure_);
    }
    flow.testItems = std::move(items_);
    return flow;
  }

 private:
  // Where a value that begins now belongs.
  enum class Place { document, itemsValue, item, elsewhere };

  Place placeOfNextValue() const {
    if (depth_ == 0) return Place::document;
    if (rootIsObject_ && depth_ == 1) {
      return rootKey_ == "testItems" ? Place::itemsValue : Place::elsewhere;
    }
    if (inItems_ && depth_ == 2) return failure_ ? Place::elsewhere : Place::item;
    return Place::elsewhere;
  }

  json* targetFor(Place place) {
    switch (place) {
      case Place::document:
        return &document_;
      case Place::itemsValue:
        // A later "testItems" replaces an earlier one, as it does in a document.
        sawItems_ = true;
        itemsAreArray_ = false;
        items_.clear();
        failure_ = nullptr;
        return &itemsValue_;
      case Place::item:
        return &item_;
      case Place::elsewhere:
        break;
    }
    return nullptr;
  }

  bool scalar(json value) {
    if (!builder_.building()) {
      const Place place = placeOfNextValue();
      json* target = targetFor(place);
      if (target == nullptr) return true;
      builder_.begin(*target);
      building_ = place;
    }
    if (builder_.scalar(std::move(value))) completed();
    return true;
  }

  bool open(json::value_t type) {
    if (!builder_.building()) {
      const Place place = placeOfNextValue();
      if (place == Place::document && type == json::value_t::object) {
        rootIsObject_ = true;
      } else if (place == Place::itemsValue && type == json::value_t::array) {
        targetFor(place);
        itemsAreArray_ = true;
        inItems_ = true;
        nextIndex_ = 0;
      } else if (json* target = targetFor(place)) {
        builder_.begin(*target);
        building_ = place;
      }
    }
    ++depth_;
    if (builder_.building()) builder_.open(type);
    return true;
  }

  bool close() {
    --depth_;
    if (builder_.building()) {
      if (builder_.close()) completed();
    } else if (inItems_ && depth_ == 1) {
      inItems_ = false;
    }
    return true;
  }

  void completed() {
    if (building_ != Place::item) return;
    try {
      TestItem item{};
      readRecord(item_, item);
      items_.push_back(std::move(item));
    } catch (const json::exception&) {
      failure_ = std::current_exception();
      failedIndex_ = nextIndex_;
      failedItem_ = std::move(item_);
    }
    ++nextIndex_;
  }

  ValueBuilder builder_;
  Place building_ = Place::elsewhere;
  std::size_t depth_ = 0;  // containers open around the next event

  bool rootIsObject_ = false;
  json document_;  // the whole document, when its root is not an object
  std::string rootKey_;

  bool sawItems_ = false;
  bool itemsAreArray_ = false;
  bool inItems_ = false;
  json itemsValue_;  // the value of "testItems" when it is not an array
  json item_;        // the item being built
  std::size_t nextIndex_ = 0;
  std::vector<TestItem> items_;

  std::exception_ptr failure_;  // the first item that can't be read, and where it was
  std::size_t failedIndex_ = 0;
  json failedItem_;
};

}  // namespace

bool DriverCommon::fileExists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::path(path));
}

std::optional<FlowMessage> DriverCommon::analysisFlowFile(std::string filePath) {
  std::optional<std::ifstream> file = openRecordFile(*this, filePath);
  if (!file) return std::nullopt;
  // One value; a BOM before it is skipped, text after it is not read.
  FlowEvents events;
  json::sax_parse(*file, &events, json::input_format_t::json, false);
  std::optional<FlowMessage> flow = events.finish();

  // The listing goes out as one block: every line whole, flushed once at its end.
  std::string listing;
  for (const TestItem& item : flow->testItems) {
    listing.append("FuncName: ").append(item.funcName);
    listing.append(", FuncId: ").append(std::to_string(item.funcId)).push_back('\n');
    for (const Result& result : item.results) {
      listing.append("    Result Param: ").append(result.paramName);
      listing.append(", Max: ").append(result.max).push_back('\n');
    }
  }
  if (!listing.empty()) {
    listing.pop_back();  // writeLine adds the last line break
    writeLine(stdout, listing);
  }
  return flow;
}

std::optional<Setting> DriverCommon::analysisSettingFile(std::string filePath) {
  std::optional<std::ifstream> file = openRecordFile(*this, filePath);
  if (!file) return std::nullopt;
  json document;
  *file >> document;  // one value; a BOM before it is skipped, text after it is not read
  Setting setting{};
  readRecord(document, setting);
  return setting;
}

std::vector<std::string> DriverCommon::split(const std::string& str, char delimiter) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  for (std::string::size_type end; (end = str.find(delimiter, start)) != std::string::npos;
       start = end + 1) {
    pieces.push_back(str.substr(start, end - start));
  }
  if (start < str.size()) pieces.push_back(str.substr(start));
  if (!pieces.empty() && pieces.back().empty()) pieces.pop_back();
  return pieces;
}
