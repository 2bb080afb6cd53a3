// SECS-II data items (SEMI E5): the body of every message the station and a factory host
// exchange. An item is a list of items or an array of one format; each is coded as a format byte
// (format code and how many length bytes follow, 1 to 3), its length (of its bytes; of its items
// for a list) and its values, big-endian.
#ifndef ATE_STATION_GEM_SECS2_H_
#define ATE_STATION_GEM_SECS2_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace secs {

// The format codes, octal as SEMI writes them.
enum class Format : std::uint8_t {
  L = 000,
  B = 010,
  BOOLEAN = 011,
  A = 020,
  J = 021,
  I8 = 030,
  I1 = 031,
  I2 = 032,
  I4 = 034,
  F8 = 040,
  F4 = 044,
  U8 = 050,
  U1 = 051,
  U2 = 052,
  U4 = 054,
};

// Bytes per value of a format (1 for L, B, Boolean, A and J).
std::size_t valueSize(Format format);
// "L", "U4", ... as SML writes them.
const char* formatName(Format format);

class Item {
 public:
  Item() = default;  // an empty list

  static Item list(std::vector<Item> items);
  static Item list(std::initializer_list<Item> items) { return list(std::vector<Item>(items)); }
  static Item ascii(std::string text);
  static Item jis8(std::string text);
  static Item binary(std::vector<std::uint8_t> bytes);
  static Item binary(std::uint8_t byte) { return binary(std::vector<std::uint8_t>{byte}); }
  static Item boolean(bool value);
  // B, Boolean, A or J from their bytes as they are.
  static Item ofBytes(Format format, std::string bytes);
  // Integers of a signed (I1..I8) or unsigned (U1..U8) format; values must fit it.
  static Item signedOf(Format format, std::vector<std::int64_t> values);
  static Item unsignedOf(Format format, std::vector<std::uint64_t> values);
  static Item floatOf(Format format, std::vector<double> values);
  static Item u1(std::uint64_t v) { return unsignedOf(Format::U1, {v}); }
  static Item u2(std::uint64_t v) { return unsignedOf(Format::U2, {v}); }
  static Item u4(std::uint64_t v) { return unsignedOf(Format::U4, {v}); }
  static Item u8(std::uint64_t v) { return unsignedOf(Format::U8, {v}); }
  static Item i4(std::int64_t v) { return signedOf(Format::I4, {v}); }
  static Item f8(double v) { return floatOf(Format::F8, {v}); }

  Format format() const { return format_; }
  bool isList() const { return format_ == Format::L; }
  // Items of a list, or values of an array.
  std::size_t size() const;
  const std::vector<Item>& items() const { return items_; }
  const Item& operator[](std::size_t i) const { return items_[i]; }
  // Bytes of B, Boolean, A and J.
  const std::string& bytes() const { return bytes_; }
  const std::vector<std::int64_t>& signedValues() const { return signed_; }
  const std::vector<std::uint64_t>& unsignedValues() const { return unsigned_; }
  const std::vector<double>& floatValues() const { return floats_; }

  bool isText() const { return format_ == Format::A || format_ == Format::J; }
  bool isInteger() const;
  // The one value of an integer item (any of I1..U8, or a single B byte), when it has exactly one
  // and it is not negative.
  std::optional<std::uint64_t> unsignedValue() const;

  // SML, for logs and messages: <L [2] <A "x"> <U4 1>>.
  std::string sml() const;

  bool operator==(const Item& other) const;
  bool operator!=(const Item& other) const { return !(*this == other); }

 private:
  Format format_ = Format::L;
  std::vector<Item> items_;
  std::string bytes_;
  std::vector<std::int64_t> signed_;
  std::vector<std::uint64_t> unsigned_;
  std::vector<double> floats_;
};

// The item coded, with as few length bytes as its length needs; false when it is too long for
// three (16 MiB).
bool encode(const Item& item, std::string& out);

// Lists nested deeper than this are refused (a body of nothing but list headers must not take
// the stack).
constexpr int MAX_DEPTH = 32;

// Decodes a message body: one item filling size bytes exactly, or none when size is 0 (false in
// hasItem). False with error saying what is wrong and at which byte.
bool decode(const std::uint8_t* data, std::size_t size, Item& item, bool& hasItem,
            std::string& error);

}  // namespace secs

#endif  // ATE_STATION_GEM_SECS2_H_
