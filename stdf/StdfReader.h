// Reading STDF V4 (Standard Test Data Format) files: record framing, decoding of every V4 record
// type into named, typed fields, and a follower for a datalog that grows while a test runs.
//
// Any valid V4 file reads, whoever wrote it: both byte orders (FAR CPU_TYPE 1 = big-endian,
// 2 = little-endian), optional trailing fields left off at the end of a record (they are simply
// absent from Record::fields), and record types this reader does not know (delivered as
// "UNKNOWN" with their type, sub-type and length, without fields). Bytes after a known record's
// last field are counted in Record::extra and otherwise left alone. Damage (a record running past
// the end of the file, a field running past the end of its record, no FAR first) stops reading
// with a ReadError naming the byte offset; every record before it was delivered. Nothing is ever
// read outside the given bytes.
//
// Nothing here is thread-safe: one object is used by one thread at a time.
#ifndef ATE_STDF_STDFREADER_H_
#define ATE_STDF_STDFREADER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "stdf/StdfFormat.h"

namespace stdf {

enum class ByteOrder { BIG, LITTLE };

// The V4 name of a type ("U4", "kxCn"). The record types, the fields of each record, the
// positions in `Record::fields` of the fields code reads (field::PTR_RESULT) and the flag bits
// (flag::TEST_FAILED) are in StdfFormat.h.
const char* typeName(FieldType type);

// One decoded field. Which member holds the value depends on the type:
//   U1 U2 U4 B1        -> u          I1 I2 I4 -> i          R4 R8 -> r
//   C1 CN              -> text       BN       -> text (the data bytes, without the count)
//   DN                 -> u (number of bits) and text (the bit bytes, least significant first)
//   N1                 -> u (the nibble)
//   U1/U2/R4/N1_ARRAY  -> numbers    CN_ARRAY -> texts
// GDR's GEN_DATA items are fields named "GEN_DATA", one per item (pad bytes left out), each with
// the type its code gives.
struct Field {
  std::string_view name;  // static text, e.g. "TEST_NUM"
  FieldType type = FieldType::U1;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double r = 0;
  std::string text;
  std::vector<double> numbers;
  std::vector<std::string> texts;
};

// One record. `fields` holds the fields present, in the record's V4 order: a record that ends
// early leaves out its trailing fields, so fields.size() may be below the full count.
struct Record {
  std::uint64_t offset = 0;  // of the record's header in the file
  std::uint16_t length = 0;  // REC_LEN: bytes after the 4-byte header
  std::uint8_t type = 0;     // REC_TYP
  std::uint8_t sub = 0;      // REC_SUB
  std::string_view name;     // "PTR", or "UNKNOWN" for a type this reader does not know
  std::vector<Field> fields;
  // Bytes after the record's last known field, which no field takes: a writer's mistake, or
  // fields of a later revision. Not an error; 0 for a type this reader does not know.
  std::uint16_t extra = 0;

  bool is(std::string_view recordName) const { return name == recordName; }
  // The field of that name, or null when absent.
  const Field* find(std::string_view fieldName) const;
  // Values by name, or `fallback` when absent (or of another kind).
  std::uint64_t unsignedValue(std::string_view fieldName, std::uint64_t fallback = 0) const;
  std::int64_t signedValue(std::string_view fieldName, std::int64_t fallback = 0) const;
  double realValue(std::string_view fieldName, double fallback = 0) const;
  std::string_view textValue(std::string_view fieldName) const;  // empty when absent
};

// The head and site of a PIR, PRR or test record (HEAD_NUM at headAt, SITE_NUM after it) as
// one key; 0 when the record ends before them.
std::uint32_t headSiteKey(const Record& record, std::size_t headAt);

enum class ErrorKind {
  TRUNCATED,  // the bytes end inside a record: a damaged file, or one still being written
  MALFORMED,  // a field runs past its record, or an unknown GEN_DATA type code
  NOT_STDF,   // no FAR first, or a byte order or version this reader does not read
};

struct ReadError {
  ErrorKind kind = ErrorKind::TRUNCATED;
  std::uint64_t offset = 0;  // the file offset where the damage is
  std::string message;       // "byte 1234: PTR record of 40 bytes runs past the end of the file"
};

// A record framed but not decoded: its header and its data, which stay valid until the reader
// moves on.
struct RawRecord {
  std::uint64_t offset = 0;
  std::uint16_t length = 0;
  std::uint8_t type = 0;
  std::uint8_t sub = 0;
  const std::uint8_t* data = nullptr;
};

// Reads records one after the other, from bytes in memory or from a stream.
class StdfReader {
 public:
  // A whole file in memory, which the caller keeps alive while reading.
  StdfReader(const void* data, std::size_t size);
  // A stream opened in binary mode, read from its current position as the file's start. Reads
  // a chunk of 1 MiB at a time: memory stays bounded whatever the file's size.
  explicit StdfReader(std::istream& in);
  // The rest of a file whose FAR was read before: `data` holds its bytes from `fileOffset` on,
  // in `order`. No FAR is expected.
  StdfReader(const void* data, std::size_t size, ByteOrder order, std::uint64_t fileOffset);

  StdfReader(const StdfReader&) = delete;
  StdfReader& operator=(const StdfReader&) = delete;

  // Decodes the next record into `record` (reusing its storage) and returns true; returns false
  // at the end of the bytes or at damage, which error() then describes.
  bool next(Record& record);

  // The same in two steps, for readers that take some records in place (readPtr): frames the
  // next record, then (for those it wants whole) decodes it. decode() returns false at a field
  // that runs past its record, as next() does.
  bool nextRaw(RawRecord& raw);
  bool decode(const RawRecord& raw, Record& record);

  // After next() returned false: null at a clean end, else the damage.
  const ReadError* error() const { return failed_ ? &error_ : nullptr; }
  // The file offset after the last record delivered.
  std::uint64_t offset() const { return offset_; }
  ByteOrder byteOrder() const { return order_; }

 private:
  // Points `out` at the next n bytes; false when fewer remain (`got` says how many did).
  bool fetch(std::size_t n, const std::uint8_t*& out, std::size_t& got);
  // Stream mode: keeps the bytes not yet read and reads the next chunk after them.
  void refill();
  bool fail(ErrorKind kind, std::uint64_t offset, std::string message);
  // Framing: the 4-byte header of the record at `start`, and REC_LEN in the file's byte order.
  // False at a clean end or after fail().
  bool readHeader(std::uint64_t start, std::uint8_t (&head)[4]);
  std::size_t lengthOf(const std::uint8_t (&head)[4]) const;
  // The first record must be a FAR: its header (giving `length` before the byte order is known),
  // then its data, which sets the byte order.
  bool checkFarHeader(std::uint64_t start, const std::uint8_t (&head)[4], std::size_t& length);
  bool checkFar(std::uint64_t start, const std::uint8_t (&head)[4], const std::uint8_t* data,
                std::size_t length);

  // The bytes being read: the caller's, or (stream mode) buffer_'s.
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  std::istream* in_ = nullptr;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t offset_ = 0;      // after the last record delivered
  std::uint64_t pendingEnd_ = 0;  // after the record framed last
  ByteOrder order_ = ByteOrder::LITTLE;
  bool needFar_ = true;
  bool failed_ = false;
  ReadError error_;
};

// Decodes one record's data (the `length` bytes after its header) into `record`, whose offset,
// length, type and sub the caller has set. Returns false and fills `error` when a field runs
// past the data.
bool decodeRecord(const std::uint8_t* data, ByteOrder order, Record& record, ReadError& error);

// A PTR's fields that figures use, read in place (texts point into the record's data).
struct PtrFields {
  std::size_t present = 0;  // how many of the PTR's fields the record holds, as Record::fields
  std::uint16_t extra = 0;  // bytes after its last field
  std::uint32_t testNumber = 0;
  std::uint8_t head = 0, site = 0, testFlags = 0, optFlag = 0;
  double result = 0, lowLimit = 0, highLimit = 0;
  std::string_view text, units;
};

// Reads a PTR's data as decodeRecord would, without decoding it into a Record. False when a
// field runs past the record: decodeRecord then says what is wrong.
bool readPtr(const std::uint8_t* data, std::size_t length, ByteOrder order, PtrFields& out);
// The same fields of a PTR decoded whole.
PtrFields ptrFields(const Record& record);

// The record on one line: offset, name and every field as NAME=VALUE, e.g.
//   @0 FAR CPU_TYPE=2 STDF_VER=4
//   @120 PTR TEST_NUM=7 HEAD_NUM=1 SITE_NUM=1 TEST_FLG=0x00 ... TEST_TXT="VOUT" ...
//   @300 UNKNOWN REC_TYP=99 REC_SUB=1 REC_LEN=4
// Texts are quoted, with ", \ and bytes outside printable ASCII escaped (\" \\ \xNN); reals are
// the shortest text that reads back as the same value; arrays are [a,b,...]; B1 is 0xNN; Bn and
// Dn are hex bytes (Dn prefixed by its bit count: 12:0x0fff). A record with bytes after its last
// field ends with "(2 bytes after the last field)".
std::string formatRecord(const Record& record);

// Whether the record is one of the summary records a writer puts after the last part
// (TSR, HBR, SBR, PCR, MRR).
bool isSummaryRecord(const Record& record);

// Follows a datalog that grows while a test runs. The writer appends the parts of each pass and
// then the summary records, which it overwrites when it appends the next pass; so the follower
// remembers the offset after the last complete part it consumed (where no part is open), reads
// only the bytes after it on each update, and stops without consuming at the first summary
// record. A record cut off at the end is "not yet": the next update reads it again.
class StdfFollower {
 public:
  struct Update {
    std::size_t records = 0;           // delivered by this update
    bool atSummary = false;            // stopped at the summary records
    const ReadError* error = nullptr;  // damage (not a record still being written), or null
  };

  StdfFollower() = default;
  StdfFollower(const StdfFollower&) = delete;
  StdfFollower& operator=(const StdfFollower&) = delete;

  // Reads the file from offset() to its current end (opened in binary mode each time) and
  // hands `onRecord` every record of the header (FAR, ATR, MIR, SDR...) and of the parts
  // completed since, in file order. Records of a part are delivered only once its PRR is there,
  // all the parts open at once (several sites) together. A file that can't be opened, or is now
  // shorter than offset(), is an error of kind NOT_STDF.
  Update update(const std::string& path, const std::function<void(const Record&)>& onRecord);

  // The same, from `tail`: the file's bytes from offset() to its current end.
  Update update(std::string_view tail, const std::function<void(const Record&)>& onRecord);

  // The file offset after the last record consumed.
  std::uint64_t offset() const { return offset_; }

  // The summary records now at the end of the file (from offset() on), e.g. for bin names;
  // their number is bounded by bins, sites and tests, not by parts. Returns false on a read
  // error other than an incomplete last record.
  bool readSummary(const std::string& path, std::vector<Record>& out);

 private:
  std::uint64_t offset_ = 0;
  bool haveFar_ = false;
  ByteOrder order_ = ByteOrder::LITTLE;
  ReadError error_;
};

}  // namespace stdf

#endif  // ATE_STDF_STDFREADER_H_
