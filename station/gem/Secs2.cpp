#include "station/gem/Secs2.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

namespace secs {

namespace {

bool isSigned(Format f) {
  return f == Format::I1 || f == Format::I2 || f == Format::I4 || f == Format::I8;
}
bool isUnsigned(Format f) {
  return f == Format::U1 || f == Format::U2 || f == Format::U4 || f == Format::U8;
}
bool isFloat(Format f) { return f == Format::F4 || f == Format::F8; }
bool isBytes(Format f) {
  return f == Format::B || f == Format::BOOLEAN || f == Format::A || f == Format::J;
}

bool knownFormat(std::uint8_t code) {
  switch (static_cast<Format>(code)) {
    case Format::L:
    case Format::B:
    case Format::BOOLEAN:
    case Format::A:
    case Format::J:
    case Format::I8:
    case Format::I1:
    case Format::I2:
    case Format::I4:
    case Format::F8:
    case Format::F4:
    case Format::U8:
    case Format::U1:
    case Format::U2:
    case Format::U4:
      return true;
  }
  return false;
}

constexpr std::size_t MAX_LENGTH = 0xFFFFFF;

void putHeader(Format format, std::size_t length, std::string& out) {
  const int lengthBytes = length > 0xFFFF ? 3 : length > 0xFF ? 2 : 1;
  out += static_cast<char>((static_cast<std::uint8_t>(format) << 2) | lengthBytes);
  for (int i = lengthBytes - 1; i >= 0; --i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
}

void putBig(std::uint64_t value, std::size_t bytes, std::string& out) {
  for (std::size_t i = bytes; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t getBig(const std::uint8_t* at, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | at[i];
  return value;
}

class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool item(Item& out, int depth, std::string& error) {
    const std::size_t start = at_;
    if (at_ >= size_) return fail(start, "an item is cut short", error);
    const std::uint8_t formatByte = data_[at_++];
    const std::uint8_t code = formatByte >> 2;
    const std::size_t lengthBytes = formatByte & 3u;
    if (lengthBytes == 0) return fail(start, "an item with no length bytes", error);
    if (!knownFormat(code)) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%o", code);
      return fail(start, std::string("an item of unknown format ") + octal + " (octal)", error);
    }
    if (size_ - at_ < lengthBytes) return fail(start, "an item's length is cut short", error);
    const std::size_t length = getBig(data_ + at_, lengthBytes);
    at_ += lengthBytes;
    const Format format = static_cast<Format>(code);
    if (format == Format::L) {
      if (depth >= MAX_DEPTH) {
        return fail(start, "lists nested deeper than " + std::to_string(MAX_DEPTH), error);
      }
      // Each item takes two bytes at least: a list can't claim more than that leaves.
      if (length > (size_ - at_) / 2) {
        return fail(start, "a list of " + std::to_string(length) + " items in fewer bytes", error);
      }
      std::vector<Item> items(length);
      for (Item& inner : items) {
        if (!item(inner, depth + 1, error)) return false;
      }
      out = Item::list(std::move(items));
      return true;
    }
    if (size_ - at_ < length) return fail(start, "an item's values are cut short", error);
    const std::size_t unit = valueSize(format);
    if (length % unit != 0) {
      return fail(start,
                  std::string("a ") + formatName(format) + " item of " + std::to_string(length) +
                      " bytes, not a multiple of " + std::to_string(unit),
                  error);
    }
    const std::uint8_t* values = data_ + at_;
    at_ += length;
    const std::size_t count = length / unit;
    if (isBytes(format)) {
      out = Item::ofBytes(format, std::string(reinterpret_cast<const char*>(values), length));
      return true;
    }
    if (isSigned(format)) {
      std::vector<std::int64_t> ints(count);
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t raw = getBig(values + i * unit, unit);
        const int shift = static_cast<int>(64 - 8 * unit);
        ints[i] = static_cast<std::int64_t>(raw << shift) >> shift;
      }
      out = Item::signedOf(format, std::move(ints));
    } else if (isUnsigned(format)) {
      std::vector<std::uint64_t> uints(count);
      for (std::size_t i = 0; i < count; ++i) uints[i] = getBig(values + i * unit, unit);
      out = Item::unsignedOf(format, std::move(uints));
    } else {
      std::vector<double> floats(count);
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t raw = getBig(values + i * unit, unit);
        if (unit == 4) {
          const auto bits = static_cast<std::uint32_t>(raw);
          float value;
          std::memcpy(&value, &bits, sizeof value);
          floats[i] = value;
        } else {
          double value;
          std::memcpy(&value, &raw, sizeof value);
          floats[i] = value;
        }
      }
      out = Item::floatOf(format, std::move(floats));
    }
    return true;
  }

  std::size_t at() const { return at_; }

 private:
  bool fail(std::size_t where, const std::string& what, std::string& error) const {
    error = "byte " + std::to_string(where) + ": " + what;
    return false;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

std::size_t valueSize(Format format) {
  switch (format) {
    case Format::I2:
    case Format::U2:
      return 2;
    case Format::I4:
    case Format::U4:
    case Format::F4:
      return 4;
    case Format::I8:
    case Format::U8:
    case Format::F8:
      return 8;
    default:
      return 1;
  }
}

const char* formatName(Format format) {
  switch (format) {
    case Format::L:
      return "L";
    case Format::B:
      return "B";
    case Format::BOOLEAN:
      return "BOOLEAN";
    case Format::A:
      return "A";
    case Format::J:
      return "J";
    case Format::I8:
      return "I8";
    case Format::I1:
      return "I1";
    case Format::I2:
      return "I2";
    case Format::I4:
      return "I4";
    case Format::F8:
      return "F8";
    case Format::F4:
      return "F4";
    case Format::U8:
      return "U8";
    case Format::U1:
      return "U1";
    case Format::U2:
      return "U2";
    case Format::U4:
      return "U4";
  }
  return "?";
}

Item Item::list(std::vector<Item> items) {
  Item item;
  item.items_ = std::move(items);
  return item;
}

Item Item::ascii(std::string text) {
  Item item;
  item.format_ = Format::A;
  item.bytes_ = std::move(text);
  return item;
}

Item Item::jis8(std::string text) {
  Item item = ascii(std::move(text));
  item.format_ = Format::J;
  return item;
}

Item Item::binary(std::vector<std::uint8_t> bytes) {
  Item item;
  item.format_ = Format::B;
  item.bytes_.assign(bytes.begin(), bytes.end());
  return item;
}

Item Item::boolean(bool value) {
  Item item;
  item.format_ = Format::BOOLEAN;
  item.bytes_.assign(1, value ? '\1' : '\0');
  return item;
}

Item Item::signedOf(Format format, std::vector<std::int64_t> values) {
  Item item;
  item.format_ = format;
  item.signed_ = std::move(values);
  return item;
}

Item Item::unsignedOf(Format format, std::vector<std::uint64_t> values) {
  Item item;
  item.format_ = format;
  item.unsigned_ = std::move(values);
  return item;
}

Item Item::floatOf(Format format, std::vector<double> values) {
  Item item;
  item.format_ = format;
  item.floats_ = std::move(values);
  return item;
}

Item Item::ofBytes(Format format, std::string bytes) {
  Item item;
  item.format_ = format;
  item.bytes_ = std::move(bytes);
  return item;
}

std::size_t Item::size() const {
  if (isList()) return items_.size();
  if (isBytes(format_)) return bytes_.size();
  if (isSigned(format_)) return signed_.size();
  if (isUnsigned(format_)) return unsigned_.size();
  return floats_.size();
}

bool Item::isInteger() const { return isSigned(format_) || isUnsigned(format_); }

std::optional<std::uint64_t> Item::unsignedValue() const {
  if (isUnsigned(format_) && unsigned_.size() == 1) return unsigned_[0];
  if (isSigned(format_) && signed_.size() == 1 && signed_[0] >= 0) {
    return static_cast<std::uint64_t>(signed_[0]);
  }
  if (format_ == Format::B && bytes_.size() == 1) return static_cast<std::uint8_t>(bytes_[0]);
  return std::nullopt;
}

std::string Item::sml() const {
  std::string out = std::string("<") + formatName(format_);
  if (isList()) {
    out += " [" + std::to_string(items_.size()) + "]";
    for (const Item& item : items_) out += " " + item.sml();
  } else if (isText()) {
    out += " \"";
    for (const char c : bytes_) {
      if (c == '"' || c == '\\') out += '\\';
      if (static_cast<unsigned char>(c) < 0x20) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
        out += hex;
      } else {
        out += c;
      }
    }
    out += "\"";
  } else if (isBytes(format_)) {
    for (const char c : bytes_) {
      char hex[8];
      std::snprintf(hex, sizeof hex, " 0x%02X", static_cast<unsigned char>(c));
      out += format_ == Format::BOOLEAN ? (c ? " TRUE" : " FALSE") : hex;
    }
  } else if (isSigned(format_)) {
    for (const std::int64_t v : signed_) out += " " + std::to_string(v);
  } else if (isUnsigned(format_)) {
    for (const std::uint64_t v : unsigned_) out += " " + std::to_string(v);
  } else {
    for (const double v : floats_) {
      char text[32];
      std::snprintf(text, sizeof text, " %.17g", v);
      out += text;
    }
  }
  return out + ">";
}

bool Item::operator==(const Item& other) const {
  if (format_ != other.format_) return false;
  if (isList()) return items_ == other.items_;
  if (isFloat(format_)) {
    if (floats_.size() != other.floats_.size()) return false;
    for (std::size_t i = 0; i < floats_.size(); ++i) {
      if (floats_[i] != other.floats_[i] &&
          !(std::isnan(floats_[i]) && std::isnan(other.floats_[i])))
        return false;
    }
    return true;
  }
  return bytes_ == other.bytes_ && signed_ == other.signed_ && unsigned_ == other.unsigned_;
}

bool encode(const Item& item, std::string& out) {
  const Format format = item.format();
  if (item.isList()) {
    if (item.items().size() > MAX_LENGTH) return false;
    putHeader(format, item.items().size(), out);
    for (const Item& inner : item.items()) {
      if (!encode(inner, out)) return false;
    }
    return true;
  }
  const std::size_t length = item.size() * valueSize(format);
  if (length > MAX_LENGTH) return false;
  putHeader(format, length, out);
  if (isBytes(format)) {
    out += item.bytes();
  } else if (isSigned(format)) {
    for (const std::int64_t v : item.signedValues()) {
      putBig(static_cast<std::uint64_t>(v), valueSize(format), out);
    }
  } else if (isUnsigned(format)) {
    for (const std::uint64_t v : item.unsignedValues()) putBig(v, valueSize(format), out);
  } else {
    for (const double v : item.floatValues()) {
      if (format == Format::F4) {
        const float narrow = static_cast<float>(v);
        std::uint32_t bits;
        std::memcpy(&bits, &narrow, sizeof bits);
        putBig(bits, 4, out);
      } else {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        putBig(bits, 8, out);
      }
    }
  }
  return true;
}

bool decode(const std::uint8_t* data, std::size_t size, Item& item, bool& hasItem,
            std::string& error) {
  hasItem = false;
  if (size == 0) return true;
  Decoder decoder(data, size);
  if (!decoder.item(item, 0, error)) return false;
  if (decoder.at() != size) {
    error = "byte " + std::to_string(decoder.at()) + ": " + std::to_string(size - decoder.at()) +
            " bytes after the message's item";
    return false;
  }
  hasItem = true;
  return true;
}

}  // namespace secs
