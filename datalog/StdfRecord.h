// Encoding of STDF V4 records, little-endian (the FAR says CPU_TYPE 2), appended to a byte
// string. Internal to libdatalog.
#ifndef ATE_DATALOG_STDFRECORD_H_
#define ATE_DATALOG_STDFRECORD_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "stdf/StdfFormat.h"

namespace datalog {

// The record types, field positions and flag bits come from the format header shared with the
// reader.
using stdf::RecordType;

// Appends one record to out: the header at construction, fields through the methods, and the
// record length when it goes out of scope. Fields are gathered in a small buffer of the object
// and appended in a few pieces, since most records are shorter than the buffer. The fields of
// one record never exceed the 65,535 bytes a record may hold: text fields are cut at 255 bytes
// and no record here has more than a few dozen of them.
class Record {
 public:
  Record(std::string& out, RecordType type) : out_(out), start_(out.size()) {
    stage_[0] = 0;
    stage_[1] = 0;
    stage_[2] = static_cast<char>(type.typ);
    stage_[3] = static_cast<char>(type.sub);
    used_ = 4;
  }
  ~Record() {
    flush();
    const std::size_t length = out_.size() - start_ - 4;
    out_[start_] = static_cast<char>(length & 0xFF);
    out_[start_ + 1] = static_cast<char>((length >> 8) & 0xFF);
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  Record& u1(std::uint8_t value) {
    room(1);
    stage_[used_++] = static_cast<char>(value);
    return *this;
  }
  Record& c1(char value) { return u1(static_cast<std::uint8_t>(value)); }
  Record& u2(std::uint16_t value) {
    room(2);
    stage_[used_++] = static_cast<char>(value & 0xFF);
    stage_[used_++] = static_cast<char>(value >> 8);
    return *this;
  }
  Record& i2(std::int16_t value) { return u2(static_cast<std::uint16_t>(value)); }
  Record& u4(std::uint32_t value) {
    room(4);
    for (int shift = 0; shift < 32; shift += 8) {
      stage_[used_++] = static_cast<char>((value >> shift) & 0xFF);
    }
    return *this;
  }
  Record& r4(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return u4(bits);
  }
  Record& cn(std::string_view text) {
    const std::size_t length = text.size() < 255 ? text.size() : 255;
    room(1 + length);
    stage_[used_++] = static_cast<char>(length);
    std::memcpy(stage_ + used_, text.data(), length);
    used_ += length;
    return *this;
  }
  // Fields encoded before, appended as they are.
  Record& encoded(std::string_view bytes) {
    room(bytes.size());
    if (used_ + bytes.size() <= sizeof stage_) {
      std::memcpy(stage_ + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
    } else {
      out_.append(bytes.data(), bytes.size());
    }
    return *this;
  }
  // Empty variable-length bit fields (Dn) and empty texts.
  Record& emptyDn() { return u2(0); }
  Record& emptyCn(int count = 1) {
    for (int i = 0; i < count; ++i) u1(0);
    return *this;
  }

 private:
  void room(std::size_t bytes) {
    if (used_ + bytes > sizeof stage_) flush();
  }
  void flush() {
    out_.append(stage_, used_);
    used_ = 0;
  }

  std::string& out_;
  std::size_t start_;
  std::size_t used_ = 0;
  char stage_[512];
};

}  // namespace datalog

#endif  // ATE_DATALOG_STDFRECORD_H_
