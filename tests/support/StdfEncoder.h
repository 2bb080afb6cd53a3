// A small STDF V4 encoder for tests: builds records field by field, in either byte order.
#ifndef ATE_TESTS_SUPPORT_STDFENCODER_H_
#define ATE_TESTS_SUPPORT_STDFENCODER_H_

#include <cstdint>
#include <cstring>
#include <string>

namespace stdftest {

// The data of one record, appended field by field.
class Fields {
 public:
  explicit Fields(bool bigEndian) : big_(bigEndian) {}

  Fields& u1(std::uint64_t v) { return uint(v, 1); }
  Fields& u2(std::uint64_t v) { return uint(v, 2); }
  Fields& u4(std::uint64_t v) { return uint(v, 4); }
  Fields& i1(std::int64_t v) { return uint(static_cast<std::uint64_t>(v), 1); }
  Fields& i2(std::int64_t v) { return uint(static_cast<std::uint64_t>(v), 2); }
  Fields& i4(std::int64_t v) { return uint(static_cast<std::uint64_t>(v), 4); }
  Fields& r4(float v) { return real<std::uint32_t>(v); }
  Fields& r8(double v) { return real<std::uint64_t>(v); }
  Fields& c1(char c) { return raw(std::string(1, c)); }
  Fields& cn(const std::string& text) { return u1(text.size()).raw(text); }
  Fields& raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }
  bool big() const { return big_; }

 private:
  Fields& uint(std::uint64_t v, int n) {
    for (int k = 0; k < n; ++k) {
      const int shift = 8 * (big_ ? n - 1 - k : k);
      bytes_ += static_cast<char>((v >> shift) & 0xff);
    }
    return *this;
  }
  template <typename Bits, typename Real>
  Fields& real(Real v) {
    Bits bits;
    std::memcpy(&bits, &v, sizeof bits);
    return uint(bits, sizeof bits);
  }
  bool big_;
  std::string bytes_;
};

// A whole record: header (REC_LEN, REC_TYP, REC_SUB) and data.
inline std::string record(int type, int sub, const Fields& data) {
  return Fields(data.big()).u2(data.bytes().size()).u1(type).u1(sub).bytes() + data.bytes();
}

inline std::string far(bool big) { return record(0, 10, Fields(big).u1(big ? 1 : 2).u1(4)); }

inline std::string pir(bool big, int site) { return record(5, 10, Fields(big).u1(1).u1(site)); }

inline std::string prr(bool big, int site, int partFlags, int hardBin, int softBin,
                       const std::string& partId, unsigned testTime = 0) {
  Fields data(big);
  data.u1(1).u1(site).u1(partFlags).u2(1).u2(hardBin).u2(softBin).i2(-32768).i2(-32768);
  return record(5, 20, data.u4(testTime).cn(partId));
}

// A PTR carrying its limits and unit (as a test's first PTR does).
inline std::string ptr(bool big, unsigned test, int site, int testFlags, float result,
                       const std::string& name, float low, float high, const std::string& unit) {
  Fields data(big);
  data.u4(test).u1(1).u1(site).u1(testFlags).u1(0xc0).r4(result).cn(name).cn("").u1(0x0e);
  return record(15, 10, data.i1(0).i1(0).i1(0).r4(low).r4(high).cn(unit));
}

// A later PTR of a test: only up to TEST_TXT, the rest from the first one.
inline std::string shortPtr(bool big, unsigned test, int site, int testFlags, float result) {
  return record(15, 10, Fields(big).u4(test).u1(1).u1(site).u1(testFlags).u1(0).r4(result));
}

// A MIR up to SBLOT_ID, the other fields left off.
inline std::string mir(bool big, unsigned start, const std::string& lot,
                       const std::string& partType, const std::string& sublot) {
  Fields data(big);
  data.u4(start).u4(start).u1(1).c1('P').c1(' ').c1(' ').u2(65535).c1(' ').cn(lot).cn(partType);
  return record(1, 10, data.cn("node").cn("tester").cn("job").cn("1").cn(sublot));
}

inline std::string wir(bool big, const std::string& wafer) {
  return record(2, 10, Fields(big).u1(1).u1(255).u4(0).cn(wafer));
}

inline std::string wrr(bool big) { return record(2, 20, Fields(big).u1(1).u1(255).u4(0).u4(0)); }

// A PRR with coordinates (-32768: none) and every field up to PART_ID.
inline std::string prrAt(bool big, int site, int partFlags, int hardBin, int softBin, int x, int y,
                         unsigned testTime, const std::string& partId) {
  Fields data(big);
  data.u1(1).u1(site).u1(partFlags).u2(2).u2(hardBin).u2(softBin).i2(x).i2(y);
  return record(5, 20, data.u4(testTime).cn(partId));
}

// A TSR up to TEST_NAM.
inline std::string tsr(bool big, char type, unsigned test, const std::string& name) {
  Fields data(big);
  data.u1(255).u1(255).c1(type).u4(test).u4(0).u4(0).u4(0);
  return record(10, 30, data.cn(name));
}

inline std::string bin(bool big, bool hard, int head, int site, int number, unsigned count,
                       char passFail, const std::string& name) {
  return record(1, hard ? 40 : 50,
                Fields(big).u1(head).u1(site).u2(number).u4(count).c1(passFail).cn(name));
}

}  // namespace stdftest

#endif  // ATE_TESTS_SUPPORT_STDFENCODER_H_
