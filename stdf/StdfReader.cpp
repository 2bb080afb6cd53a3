#include "stdf/StdfReader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <istream>
#include <iterator>

namespace stdf {

namespace {

using T = FieldType;
using layout::FieldLayout;
using layout::GEN_DATA;

struct RecordLayout {
  RecordType type;
  std::string_view name;
  const FieldLayout* fields;
  std::size_t count;
};

#define ATE_STDF_RECORD(name) \
  { name##_RECORD, #name, layout::name##_FIELDS, std::size(layout::name##_FIELDS) }

const RecordLayout RECORDS[] = {
    ATE_STDF_RECORD(FAR),
    ATE_STDF_RECORD(ATR),
    ATE_STDF_RECORD(MIR),
    ATE_STDF_RECORD(MRR),
    ATE_STDF_RECORD(PCR),
    ATE_STDF_RECORD(HBR),
    ATE_STDF_RECORD(SBR),
    ATE_STDF_RECORD(PMR),
    ATE_STDF_RECORD(PGR),
    ATE_STDF_RECORD(PLR),
    ATE_STDF_RECORD(RDR),
    ATE_STDF_RECORD(SDR),
    ATE_STDF_RECORD(WIR),
    ATE_STDF_RECORD(WRR),
    ATE_STDF_RECORD(WCR),
    ATE_STDF_RECORD(PIR),
    ATE_STDF_RECORD(PRR),
    ATE_STDF_RECORD(TSR),
    ATE_STDF_RECORD(PTR),
    ATE_STDF_RECORD(MPR),
    ATE_STDF_RECORD(FTR),
    ATE_STDF_RECORD(BPS),
    {EPS_RECORD, "EPS", nullptr, 0},
    ATE_STDF_RECORD(GDR),
    ATE_STDF_RECORD(DTR),
};

#undef ATE_STDF_RECORD

// Each record type's layout, by REC_TYP and REC_SUB: looked up once per record.
class LayoutIndex {
 public:
  LayoutIndex() {
    for (std::size_t k = 0; k < std::size(RECORDS); ++k) {
      index_[RECORDS[k].type.typ << 8 | RECORDS[k].type.sub] = static_cast<std::uint8_t>(k + 1);
    }
  }
  const RecordLayout* find(std::uint8_t type, std::uint8_t sub) const {
    const std::uint8_t k = index_[type << 8 | sub];
    return k == 0 ? nullptr : &RECORDS[k - 1];
  }

 private:
  std::uint8_t index_[1 << 16] = {};
};

const RecordLayout* findLayout(std::uint8_t type, std::uint8_t sub) {
  static const LayoutIndex index;
  return index.find(type, sub);
}

std::string offsetText(std::uint64_t offset) { return "byte " + std::to_string(offset); }

// Reads fixed-size values from a record's data, bounded by its end.
class FieldCursor {
 public:
  FieldCursor(const std::uint8_t* data, std::size_t size, ByteOrder order)
      : data_(data), size_(size), order_(order) {}

  std::size_t position() const { return pos_; }
  bool atEnd() const { return pos_ == size_; }
  bool has(std::size_t n) const { return size_ - pos_ >= n; }

  // Callers check has(n) first; n is 1, 2, 4 or 8.
  std::uint64_t unsignedOf(std::size_t n) {
    const std::uint8_t* p = data_ + pos_;
    pos_ += n;
    if (n == 1) return p[0];
    std::uint64_t value = 0;
    if (order_ == ByteOrder::LITTLE) {
      for (std::size_t k = n; k-- > 0;) value = value << 8 | p[k];
    } else {
      for (std::size_t k = 0; k < n; ++k) value = value << 8 | p[k];
    }
    return value;
  }
  std::int64_t signedOf(std::size_t n) {
    const std::uint64_t raw = unsignedOf(n);
    const std::uint64_t sign = std::uint64_t{1} << (8 * n - 1);
    return static_cast<std::int64_t>(raw ^ sign) - static_cast<std::int64_t>(sign);
  }
  double r4() {
    const auto bits = static_cast<std::uint32_t>(unsignedOf(4));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  double r8() {
    const std::uint64_t bits = unsignedOf(8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  void bytes(std::size_t n, std::string& out) {
    out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  ByteOrder order_;
};

constexpr std::size_t fixedSize(FieldType type) {
  switch (type) {
    case T::U1:
    case T::I1:
    case T::C1:
    case T::B1:
    case T::N1:
      return 1;
    case T::U2:
    case T::I2:
      return 2;
    case T::U4:
    case T::I4:
    case T::R4:
      return 4;
    case T::R8:
      return 8;
    default:
      return 0;
  }
}

// An empty field of that type, its buffers kept for reuse.
void clear(Field& field, FieldType type) {
  field.type = type;
  field.u = 0;
  field.i = 0;
  field.r = 0;
  field.text.clear();
  field.numbers.clear();
  field.texts.clear();
}

// Decodes one value of a scalar or variable-length type. False when it runs past the record.
bool decodeValue(FieldCursor& in, FieldType type, Field& field) {
  clear(field, type);
  const std::size_t size = fixedSize(type);
  if (size > 0 && !in.has(size)) return false;
  switch (type) {
    case T::U1:
    case T::U2:
    case T::U4:
    case T::B1:
      field.u = in.unsignedOf(size);
      return true;
    case T::N1:
      field.u = in.unsignedOf(1) & 0x0f;
      return true;
    case T::I1:
    case T::I2:
    case T::I4:
      field.i = in.signedOf(size);
      return true;
    case T::R4:
      field.r = in.r4();
      return true;
    case T::R8:
      field.r = in.r8();
      return true;
    case T::C1:
      in.bytes(1, field.text);
      return true;
    case T::CN:
    case T::BN: {
      if (!in.has(1)) return false;
      const std::size_t n = in.unsignedOf(1);
      if (!in.has(n)) return false;
      in.bytes(n, field.text);
      return true;
    }
    case T::DN: {
      if (!in.has(2)) return false;
      field.u = in.unsignedOf(2);
      const std::size_t n = (field.u + 7) / 8;
      if (!in.has(n)) return false;
      in.bytes(n, field.text);
      return true;
    }
    default:
      return false;
  }
}

bool decodeArray(FieldCursor& in, FieldType type, std::size_t count, Field& field) {
  clear(field, type);
  if (type == T::N1_ARRAY) {
    const std::size_t bytes = (count + 1) / 2;
    if (!in.has(bytes)) return false;
    field.numbers.reserve(count);
    for (std::size_t k = 0; k < count; k += 2) {
      const std::uint64_t byte = in.unsignedOf(1);
      field.numbers.push_back(static_cast<double>(byte & 0x0f));
      if (k + 1 < count) field.numbers.push_back(static_cast<double>(byte >> 4));
    }
    return true;
  }
  if (type == T::CN_ARRAY) {
    Field item;
    for (std::size_t k = 0; k < count; ++k) {
      if (!decodeValue(in, T::CN, item)) return false;
      field.texts.push_back(std::move(item.text));
    }
    field.type = type;
    return true;
  }
  const FieldType element = type == T::U1_ARRAY ? T::U1 : type == T::U2_ARRAY ? T::U2 : T::R4;
  if (!in.has(count * fixedSize(element))) return false;
  field.numbers.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    field.numbers.push_back(
        element == T::R4 ? in.r4() : static_cast<double>(in.unsignedOf(fixedSize(element))));
  }
  return true;
}

// GDR's GEN_DATA type codes.
bool genDataType(std::uint64_t code, FieldType& type) {
  static const FieldType TYPES[] = {T::U1, T::U1, T::U2, T::U4, T::I1, T::I2, T::I4,
                                    T::R4, T::R8, T::U1, T::CN, T::BN, T::DN, T::N1};
  if (code >= std::size(TYPES) || code == 0 || code == 9) return false;
  type = TYPES[code];
  return true;
}

void appendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7e) {
      static const char HEX[] = "0123456789abcdef";
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0x0f];
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendHex(std::string& out, std::string_view bytes) {
  static const char HEX[] = "0123456789abcdef";
  out += "0x";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0f];
  }
}

void appendReal(std::string& out, double value, bool single) {
  char text[64];
  const auto result = single ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
                             : std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

}  // namespace

const char* typeName(FieldType type) {
  static const char* const NAMES[] = {"U1",   "U2",   "U4",   "I1",   "I2",  "I4", "R4",
                                      "R8",   "C1",   "B1",   "Cn",   "Bn",  "Dn", "N1",
                                      "kxU1", "kxU2", "kxR4", "kxCn", "kxN1"};
  return NAMES[static_cast<int>(type)];
}

std::uint32_t headSiteKey(const Record& record, std::size_t headAt) {
  if (record.fields.size() <= headAt + 1) return 0;
  return headSiteKey(record.fields[headAt].u, record.fields[headAt + 1].u);
}

const Field* Record::find(std::string_view fieldName) const {
  for (const Field& f : fields) {
    if (f.name == fieldName) return &f;
  }
  return nullptr;
}

namespace {

// The record's field of that name when it is of one of the kinds, else null.
const Field* ofKind(const Record& record, std::string_view fieldName,
                    std::initializer_list<FieldType> kinds) {
  const Field* f = record.find(fieldName);
  return f != nullptr && std::find(kinds.begin(), kinds.end(), f->type) != kinds.end() ? f
                                                                                       : nullptr;
}

}  // namespace

std::uint64_t Record::unsignedValue(std::string_view fieldName, std::uint64_t fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::U1, T::U2, T::U4, T::B1, T::N1});
  return f != nullptr ? f->u : fallback;
}

std::int64_t Record::signedValue(std::string_view fieldName, std::int64_t fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::I1, T::I2, T::I4});
  return f != nullptr ? f->i : fallback;
}

double Record::realValue(std::string_view fieldName, double fallback) const {
  const Field* f = ofKind(*this, fieldName, {T::R4, T::R8});
  return f != nullptr ? f->r : fallback;
}

std::string_view Record::textValue(std::string_view fieldName) const {
  const Field* f = ofKind(*this, fieldName, {T::CN, T::C1});
  return f != nullptr ? std::string_view(f->text) : std::string_view();
}

bool decodeRecord(const std::uint8_t* data, ByteOrder order, Record& record, ReadError& error) {
  const RecordLayout* layout = findLayout(record.type, record.sub);
  if (layout == nullptr) {
    record.name = "UNKNOWN";
    record.fields.clear();
    record.extra = 0;
    return true;
  }
  record.name = layout->name;
  record.extra = 0;
  FieldCursor in(data, record.length, order);
  std::size_t used = 0;
  auto fieldAt = [&](std::string_view name) -> Field& {
    if (record.fields.size() <= used) record.fields.emplace_back();
    Field& f = record.fields[used++];
    f.name = name;
    return f;
  };
  auto overrun = [&](std::string_view name, std::size_t at) {
    record.fields.resize(used > 0 ? used - 1 : 0);
    error.kind = ErrorKind::MALFORMED;
    error.offset = record.offset + 4 + at;
    error.message = offsetText(error.offset) + ": field " + std::string(name) + " of the " +
                    std::string(layout->name) + " record at byte " + std::to_string(record.offset) +
                    " runs past the end of the record (" + std::to_string(record.length) +
                    " bytes)";
    return false;
  };
  for (std::size_t k = 0; k < layout->count && !in.atEnd(); ++k) {
    const FieldLayout& fs = layout->fields[k];
    const std::size_t at = in.position();
    if (fs.count == GEN_DATA) {
      const std::uint64_t items = record.fields[0].u;
      for (std::uint64_t n = 0; n < items; ++n) {
        const std::size_t itemAt = in.position();
        if (!in.has(1)) {
          record.fields.resize(used);
          error.kind = ErrorKind::MALFORMED;
          error.offset = record.offset + 4 + itemAt;
          error.message = offsetText(error.offset) + ": GEN_DATA of the GDR record at byte " +
                          std::to_string(record.offset) + " holds fewer than its " +
                          std::to_string(items) + " items";
          return false;
        }
        const std::uint64_t code = in.unsignedOf(1);
        if (code == 0) continue;  // a pad byte, for alignment
        FieldType type;
        if (!genDataType(code, type)) {
          record.fields.resize(used);
          error.kind = ErrorKind::MALFORMED;
          error.offset = record.offset + 4 + itemAt;
          error.message = offsetText(error.offset) + ": unknown GEN_DATA type code " +
                          std::to_string(code) + " in the GDR record at byte " +
                          std::to_string(record.offset);
          return false;
        }
        if (!decodeValue(in, type, fieldAt(fs.name))) return overrun(fs.name, itemAt);
      }
      continue;
    }
    Field& f = fieldAt(fs.name);
    const bool ok = fs.count >= 0 ? decodeArray(in, fs.type, record.fields[fs.count].u, f)
                                  : decodeValue(in, fs.type, f);
    if (!ok) return overrun(fs.name, at);
  }
  record.fields.resize(used);
  record.extra = static_cast<std::uint16_t>(record.length - in.position());
  return true;
}

StdfReader::StdfReader(const void* data, std::size_t size)
    : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

StdfReader::StdfReader(std::istream& in) : in_(&in) {}

StdfReader::StdfReader(const void* data, std::size_t size, ByteOrder order,
                       std::uint64_t fileOffset)
    : data_(static_cast<const std::uint8_t*>(data)),
      size_(size),
      offset_(fileOffset),
      pendingEnd_(fileOffset),
      order_(order),
      needFar_(false) {}

bool StdfReader::fetch(std::size_t n, const std::uint8_t*& out, std::size_t& got) {
  if (in_ != nullptr && size_ - pos_ < n) refill();
  got = std::min(n, size_ - pos_);
  out = data_ + pos_;
  pos_ += got;
  return got == n;
}

void StdfReader::refill() {
  // The bytes not yet read move to the front; the stream fills the rest. A chunk holds any record
  // whole (REC_LEN is at most 65,535).
  constexpr std::size_t CHUNK = 1 << 20;
  if (buffer_.empty()) buffer_.resize(CHUNK);
  const std::size_t left = size_ - pos_;
  if (left > 0) std::memmove(buffer_.data(), data_ + pos_, left);
  in_->read(reinterpret_cast<char*>(buffer_.data() + left),
            static_cast<std::streamsize>(buffer_.size() - left));
  data_ = buffer_.data();
  size_ = left + static_cast<std::size_t>(in_->gcount());
  pos_ = 0;
}

bool StdfReader::fail(ErrorKind kind, std::uint64_t offset, std::string message) {
  failed_ = true;
  error_.kind = kind;
  error_.offset = offset;
  error_.message = std::move(message);
  return false;
}

bool StdfReader::readHeader(std::uint64_t start, std::uint8_t (&head)[4]) {
  const std::uint8_t* header = nullptr;
  std::size_t got = 0;
  if (fetch(4, header, got)) {
    std::memcpy(head, header, 4);
    return true;
  }
  if (got == 0 && !needFar_) return false;  // a clean end
  if (got == 0) {
    return fail(ErrorKind::NOT_STDF, start,
                offsetText(start) + ": no FAR record first: the file is empty");
  }
  return fail(ErrorKind::TRUNCATED, start,
              offsetText(start) + ": the file ends inside a record header (" + std::to_string(got) +
                  " of its 4 bytes)");
}

std::size_t StdfReader::lengthOf(const std::uint8_t (&head)[4]) const {
  return order_ == ByteOrder::BIG ? std::size_t{head[0]} << 8 | head[1]
                                  : std::size_t{head[1]} << 8 | head[0];
}

bool StdfReader::checkFarHeader(std::uint64_t start, const std::uint8_t (&head)[4],
                                std::size_t& length) {
  if (RecordType{head[2], head[3]} != FAR_RECORD) {
    return fail(ErrorKind::NOT_STDF, start,
                offsetText(start) + ": no FAR record first: not an STDF file");
  }
  // FAR's length is in its own byte order, which its first data byte gives: one of the two
  // header bytes is 0 for a length below 256, so the other is taken here and checked once the
  // data is in.
  length = std::max<std::size_t>(std::max(head[0], head[1]), 2);
  return true;
}

bool StdfReader::checkFar(std::uint64_t start, const std::uint8_t (&head)[4],
                          const std::uint8_t* data, std::size_t length) {
  const std::uint8_t cpu = data[field::FAR_CPU_TYPE];
  if (cpu != 1 && cpu != 2) {
    return fail(ErrorKind::NOT_STDF, start + 4,
                offsetText(start + 4) + ": FAR CPU_TYPE " + std::to_string(cpu) +
                    " is not one this reader reads (1 = big-endian, 2 = little-endian)");
  }
  order_ = cpu == 1 ? ByteOrder::BIG : ByteOrder::LITTLE;
  const std::size_t declared = lengthOf(head);
  if (declared != length) {
    return fail(ErrorKind::NOT_STDF, start,
                offsetText(start) + ": FAR record length " + std::to_string(declared) +
                    " does not match its CPU_TYPE's byte order");
  }
  const std::uint8_t version = data[field::FAR_STDF_VER];
  if (version != 4) {
    return fail(ErrorKind::NOT_STDF, start + 5,
                offsetText(start + 5) + ": STDF_VER " + std::to_string(version) + " is not 4");
  }
  needFar_ = false;
  return true;
}

bool StdfReader::nextRaw(RawRecord& raw) {
  if (failed_) return false;
  offset_ = pendingEnd_;
  const std::uint64_t start = offset_;
  std::uint8_t head[4];
  if (!readHeader(start, head)) return false;
  const bool first = needFar_;
  std::size_t length = lengthOf(head);
  if (first && !checkFarHeader(start, head, length)) return false;
  const std::uint8_t* data = nullptr;
  std::size_t got = 0;
  if (!fetch(length, data, got)) {
    const RecordLayout* layout = findLayout(head[2], head[3]);
    return fail(ErrorKind::TRUNCATED, start,
                offsetText(start) + ": " +
                    std::string(layout != nullptr ? layout->name : "UNKNOWN") + " record of " +
                    std::to_string(length) + " bytes runs past the end of the file (" +
                    std::to_string(got) + " of them there)");
  }
  if (first && !checkFar(start, head, data, length)) return false;
  raw.offset = start;
  raw.length = static_cast<std::uint16_t>(length);
  raw.type = head[2];
  raw.sub = head[3];
  raw.data = data;
  pendingEnd_ = start + 4 + length;
  return true;
}

bool StdfReader::decode(const RawRecord& raw, Record& record) {
  record.offset = raw.offset;
  record.length = raw.length;
  record.type = raw.type;
  record.sub = raw.sub;
  ReadError fieldError;
  if (!decodeRecord(raw.data, order_, record, fieldError)) {
    failed_ = true;
    error_ = std::move(fieldError);
    pendingEnd_ = raw.offset;
    return false;
  }
  return true;
}

bool StdfReader::next(Record& record) {
  RawRecord raw;
  if (!nextRaw(raw) || !decode(raw, record)) return false;
  offset_ = pendingEnd_;
  return true;
}

namespace {

constexpr std::size_t PTR_COUNT = std::size(layout::PTR_FIELDS);

// The size of each PTR field of a fixed size; 0 for the texts.
struct PtrSizes {
  std::uint8_t sizes[PTR_COUNT] = {};
  constexpr PtrSizes() {
    for (std::size_t k = 0; k < PTR_COUNT; ++k) {
      sizes[k] = static_cast<std::uint8_t>(fixedSize(layout::PTR_FIELDS[k].type));
    }
  }
};
constexpr PtrSizes PTR_SIZES;

std::uint32_t u32(const std::uint8_t* p, ByteOrder order) {
  return order == ByteOrder::LITTLE ? std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                          std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24
                                    : std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 |
                                          std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24;
}

double r4(const std::uint8_t* p, ByteOrder order) {
  const std::uint32_t bits = u32(p, order);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

bool readPtr(const std::uint8_t* data, std::size_t length, ByteOrder order, PtrFields& out) {
  // Where each field present starts, as decodeRecord would find them.
  std::size_t starts[PTR_COUNT];
  std::size_t at = 0;
  std::size_t k = 0;
  for (; k < PTR_COUNT && at < length; ++k) {
    starts[k] = at;
    const std::size_t fixed = PTR_SIZES.sizes[k];
    const std::size_t size = fixed != 0 ? fixed : std::size_t{1} + data[at];
    if (size > length - at) return false;
    at += size;
  }
  out.present = k;
  out.extra = static_cast<std::uint16_t>(length - at);
  const auto text = [&](std::size_t field) {
    return k > field ? std::string_view(reinterpret_cast<const char*>(data + starts[field] + 1),
                                        data[starts[field]])
                     : std::string_view();
  };
  const auto byte = [&](std::size_t field) {
    return k > field ? data[starts[field]] : std::uint8_t{0};
  };
  const auto real = [&](std::size_t field) {
    return k > field ? r4(data + starts[field], order) : 0.0;
  };
  out.testNumber = k > field::TEST_NUM ? u32(data, order) : 0;
  out.head = byte(field::TEST_HEAD_NUM);
  out.site = byte(field::TEST_SITE_NUM);
  out.testFlags = byte(field::TEST_FLG);
  out.result = real(field::PTR_RESULT);
  out.text = text(field::PTR_TEST_TXT);
  out.optFlag = byte(field::PTR_OPT_FLAG);
  out.lowLimit = real(field::PTR_LO_LIMIT);
  out.highLimit = real(field::PTR_HI_LIMIT);
  out.units = text(field::PTR_UNITS);
  return true;
}

PtrFields ptrFields(const Record& record) {
  PtrFields out;
  const std::size_t k = record.fields.size();
  out.present = k;
  out.extra = record.extra;
  const auto text = [&](std::size_t at) {
    return k > at ? std::string_view(record.fields[at].text) : std::string_view();
  };
  out.testNumber = k > field::TEST_NUM ? static_cast<std::uint32_t>(record.fields[0].u) : 0;
  out.head = k > field::TEST_HEAD_NUM ? static_cast<std::uint8_t>(record.fields[1].u) : 0;
  out.site = k > field::TEST_SITE_NUM ? static_cast<std::uint8_t>(record.fields[2].u) : 0;
  out.testFlags = k > field::TEST_FLG ? static_cast<std::uint8_t>(record.fields[3].u) : 0;
  out.result = k > field::PTR_RESULT ? record.fields[field::PTR_RESULT].r : 0;
  out.text = text(field::PTR_TEST_TXT);
  out.optFlag =
      k > field::PTR_OPT_FLAG ? static_cast<std::uint8_t>(record.fields[field::PTR_OPT_FLAG].u) : 0;
  out.lowLimit = k > field::PTR_LO_LIMIT ? record.fields[field::PTR_LO_LIMIT].r : 0;
  out.highLimit = k > field::PTR_HI_LIMIT ? record.fields[field::PTR_HI_LIMIT].r : 0;
  out.units = text(field::PTR_UNITS);
  return out;
}

std::string formatRecord(const Record& record) {
  std::string out = "@" + std::to_string(record.offset) + " ";
  out += record.name;
  if (record.name == "UNKNOWN") {
    out += " REC_TYP=" + std::to_string(record.type) + " REC_SUB=" + std::to_string(record.sub) +
           " REC_LEN=" + std::to_string(record.length);
    return out;
  }
  for (const Field& f : record.fields) {
    out += ' ';
    out += f.name;
    out += '=';
    switch (f.type) {
      case T::U1:
      case T::U2:
      case T::U4:
      case T::N1:
        out += std::to_string(f.u);
        break;
      case T::I1:
      case T::I2:
      case T::I4:
        out += std::to_string(f.i);
        break;
      case T::B1: {
        static const char HEX[] = "0123456789abcdef";
        out += "0x";
        out += HEX[(f.u >> 4) & 0x0f];
        out += HEX[f.u & 0x0f];
        break;
      }
      case T::R4:
      case T::R8:
        appendReal(out, f.r, f.type == T::R4);
        break;
      case T::C1:
      case T::CN:
        appendEscaped(out, f.text);
        break;
      case T::BN:
        appendHex(out, f.text);
        break;
      case T::DN:
        out += std::to_string(f.u) + ":";
        appendHex(out, f.text);
        break;
      case T::CN_ARRAY:
        out += '[';
        for (std::size_t k = 0; k < f.texts.size(); ++k) {
          if (k > 0) out += ',';
          appendEscaped(out, f.texts[k]);
        }
        out += ']';
        break;
      default:
        out += '[';
        for (std::size_t k = 0; k < f.numbers.size(); ++k) {
          if (k > 0) out += ',';
          appendReal(out, f.numbers[k], f.type == T::R4_ARRAY);
        }
        out += ']';
        break;
    }
  }
  if (record.extra > 0) {
    out += " (" + std::to_string(record.extra) + (record.extra == 1 ? " byte" : " bytes") +
           " after the last field)";
  }
  return out;
}

bool isSummaryRecord(const Record& record) {
  const RecordType type{record.type, record.sub};
  return type == TSR_RECORD || type == HBR_RECORD || type == SBR_RECORD || type == PCR_RECORD ||
         type == MRR_RECORD;
}

StdfFollower::Update StdfFollower::update(const std::string& path,
                                          const std::function<void(const Record&)>& onRecord) {
  Update result;
  std::ifstream file(path, std::ios::binary);
  if (file) file.seekg(0, std::ios::end);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : -1;
  if (size < 0 || static_cast<std::uint64_t>(size) < offset_) {
    error_.kind = ErrorKind::NOT_STDF;
    error_.offset = offset_;
    error_.message = size < 0 ? "cannot read " + path
                              : offsetText(offset_) + ": " + path +
                                    " is shorter than what was read of it before";
    result.error = &error_;
    return result;
  }
  std::string tail(static_cast<std::size_t>(size - static_cast<std::streamoff>(offset_)), '\0');
  file.seekg(static_cast<std::streamoff>(offset_));
  file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
  tail.resize(static_cast<std::size_t>(file.gcount()));
  return update(std::string_view(tail), onRecord);
}

StdfFollower::Update StdfFollower::update(std::string_view tail,
                                          const std::function<void(const Record&)>& onRecord) {
  Update result;
  StdfReader reader = haveFar_ ? StdfReader(tail.data(), tail.size(), order_, offset_)
                               : StdfReader(tail.data(), tail.size());
  // The records since the last point where no part was open, held back until there is one
  // again. Parts are keyed by head and site.
  std::vector<Record> pending;
  std::vector<std::uint32_t> open;
  Record record;
  while (reader.next(record)) {
    if (!haveFar_) {
      haveFar_ = true;
      order_ = reader.byteOrder();
    }
    if (isSummaryRecord(record)) {
      result.atSummary = true;
      return result;
    }
    const bool part = record.is("PIR") || record.is("PRR");
    if (part) {
      const std::uint32_t key = headSiteKey(record, field::PIR_HEAD_NUM);
      if (record.is("PIR")) {
        open.push_back(key);
      } else {
        for (std::size_t k = 0; k < open.size(); ++k) {
          if (open[k] == key) {
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
            break;
          }
        }
      }
    }
    pending.push_back(record);
    // A WRR right before the summaries is the open wafer's, written again with them after each
    // pass: it counts only once a record other than a summary follows it.
    if (record.is("WRR")) continue;
    if (open.empty()) {
      for (const Record& r : pending) onRecord(r);
      result.records += pending.size();
      pending.clear();
      offset_ = reader.offset();
    }
  }
  const ReadError* error = reader.error();
  if (error != nullptr && error->kind != ErrorKind::TRUNCATED) {
    error_ = *error;
    result.error = &error_;
  }
  return result;
}

bool StdfFollower::readSummary(const std::string& path, std::vector<Record>& out) {
  out.clear();
  if (!haveFar_) return true;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(static_cast<std::streamoff>(offset_));
  std::string tail((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  StdfReader reader(tail.data(), tail.size(), order_, offset_);
  Record record;
  while (reader.next(record)) {
    if (isSummaryRecord(record)) out.push_back(record);
  }
  return reader.error() == nullptr || reader.error()->kind == ErrorKind::TRUNCATED;
}

}  // namespace stdf
