// The STDF reader on any bytes: framing, decoding, the summary, its report and the dump lines;
// never a crash, a hang or a sanitizer report. Every record it delivers lies inside the bytes,
// one after the other; an error names an offset inside them. The stream reader and the reader
// of bytes in memory agree, and the follower delivers a prefix of what the reader delivers and,
// asked again, nothing more.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "stdf/DatalogReport.h"
#include "stdf/DatalogSummary.h"
#include "stdf/StdfReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  stdf::StdfReader reader(bytes.data(), bytes.size());
  stdf::DatalogSummary summary;
  std::vector<std::uint64_t> offsets;
  std::vector<std::string> lines;
  stdf::Record record;
  std::uint64_t expected = 0;
  while (reader.next(record)) {
    if (record.offset != expected || record.offset + 4 + record.length > size) {
      fuzz::fail("record at " + std::to_string(record.offset) + " of " +
                 std::to_string(record.length) + " bytes does not follow at " +
                 std::to_string(expected) + " inside " + std::to_string(size) + " bytes");
    }
    expected = record.offset + 4 + record.length;
    offsets.push_back(record.offset);
    lines.push_back(stdf::formatRecord(record));
    summary.add(record);
  }
  const stdf::ReadError* error = reader.error();
  if (error != nullptr && (error->offset > size || error->message.empty())) {
    fuzz::fail("error offset " + std::to_string(error->offset) + " outside " +
               std::to_string(size) + " bytes: " + error->message);
  }
  std::ostringstream report;
  stdf::writeSummary(summary, report);

  std::istringstream in(bytes);
  stdf::StdfReader streamReader(in);
  std::size_t k = 0;
  while (streamReader.next(record)) {
    if (k >= lines.size() || stdf::formatRecord(record) != lines[k]) {
      fuzz::fail("the stream reader differs at record " + std::to_string(k));
    }
    ++k;
  }
  const stdf::ReadError* streamError = streamReader.error();
  if (k != lines.size() || (streamError == nullptr) != (error == nullptr) ||
      (error != nullptr && streamError->message != error->message)) {
    fuzz::fail("the stream reader ends differently");
  }

  stdf::StdfFollower follower;
  std::size_t delivered = 0;
  auto check = [&](const stdf::Record& r) {
    if (delivered >= offsets.size() || r.offset != offsets[delivered]) {
      fuzz::fail("the follower delivered a record the reader did not, at " +
                 std::to_string(r.offset));
    }
    ++delivered;
  };
  follower.update(std::string_view(bytes), check);
  if (follower.offset() > size) fuzz::fail("the follower went past the end");
  const std::size_t first = delivered;
  follower.update(std::string_view(bytes).substr(follower.offset()), check);
  if (delivered != first) fuzz::fail("the follower delivered records twice");
  return 0;
}
