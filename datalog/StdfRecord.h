// Encoding of STDF V4 records, little-endian (the FAR says CPU_TYPE 2), appended to a byte
// string. Internal to libdatalog.
#ifndef ATE_DATALOG_STDFRECORD_H_
#define ATE_DATALOG_STDFRECORD_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace datalog {

// Record types as (REC_TYP, REC_SUB).
struct RecordType {
  std::uint8_t typ;
  std::uint8_t sub;
};
inline constexpr RecordType FAR_RECORD{0, 10};
inline constexpr RecordType MIR_RECORD{1, 10};
inline constexpr RecordType MRR_RECORD{1, 20};
inline constexpr RecordType PCR_RECORD{1, 30};
inline constexpr RecordType HBR_RECORD{1, 40};
inline constexpr RecordType SBR_RECORD{1, 50};
inline constexpr RecordType SDR_RECORD{1, 80};
inline constexpr RecordType PIR_RECORD{5, 10};
inline constexpr RecordType PRR_RECORD{5, 20};
inline constexpr RecordType TSR_RECORD{10, 30};
inline constexpr RecordType PTR_RECORD{15, 10};
inline constexpr RecordType FTR_RECORD{15, 20};

// Appends one record to out: the header at construction, fields through the methods, and the
// record length when it goes out of scope. The fields of one record never exceed the 65,535
// bytes a record may hold: text fields are cut at 255 bytes and no record here has more than a
// few hundred of them.
class Record {
 public:
  Record(std::string& out, RecordType type) : out_(out), start_(out.size()) {
    out_.append(2, '\0');
    out_.push_back(static_cast<char>(type.typ));
    out_.push_back(static_cast<char>(type.sub));
  }
  ~Record() {
    const std::size_t length = out_.size() - start_ - 4;
    out_[start_] = static_cast<char>(length & 0xFF);
    out_[start_ + 1] = static_cast<char>((length >> 8) & 0xFF);
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& u1(std::uint8_t value) {
    out_.push_back(static_cast<char>(value));
    return *this;
  }
  Record& c1(char value) { return u1(static_cast<std::uint8_t>(value)); }
  Record& u2(std::uint16_t value) { return u1(value & 0xFF).u1(value >> 8); }
  Record& i2(std::int16_t value) { return u2(static_cast<std::uint16_t>(value)); }
  Record& u4(std::uint32_t value) {
    return u1(value & 0xFF).u1((value >> 8) & 0xFF).u1((value >> 16) & 0xFF).u1(value >> 24);
  }
  Record& r4(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return u4(bits);
  }
  Record& cn(std::string_view text) {
    const std::size_t length = text.size() < 255 ? text.size() : 255;
    u1(static_cast<std::uint8_t>(length));
    out_.append(text.data(), length);
    return *this;
  }
  // Empty variable-length bit fields (Dn, Bn) and empty texts.
  Record& emptyDn() { return u2(0); }
  Record& emptyCn(int count = 1) {
    out_.append(static_cast<std::size_t>(count), '\0');
    return *this;
  }

 private:
  std::string& out_;
  std::size_t start_;
};

}  // namespace datalog

#endif  // ATE_DATALOG_STDFRECORD_H_
