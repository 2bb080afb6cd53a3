// The lot's journal on disk: an append-only file of records, one a line, each line its CRC-32
// (8 hex digits), a space, and the record's JSON text:
//
//   1c291ca3 {"type":"sot","touchdown":12,...}
//
// What a reader does with a file that a crash left behind: a last line without its line feed,
// or with a CRC that doesn't match its text, was being written when the station stopped and is
// left out (as are any lines after it that are no better). A bad line followed by a good one
// means the file was damaged some other way: the journal can't be read.
#ifndef ATE_STATION_LOT_LOTJOURNAL_H_
#define ATE_STATION_LOT_LOTJOURNAL_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "station/Platform.h"

namespace lot {

// One record's line, line feed included.
std::string journalLine(std::string_view record);

struct JournalText {
  enum class Status { ok, missing, damaged };
  Status status = Status::ok;
  std::vector<std::string> records;  // the intact lines' texts, in order
  std::size_t tornBytes = 0;         // bytes of a last line cut short, left out
  std::string error;                 // damaged, missing: what and where
};

JournalText readJournalText(std::string_view text);
JournalText readJournal(const std::filesystem::path& path);

// Appends records to a journal. Not thread-safe: its owner serialises the calls.
class JournalWriter {
 public:
  // Opens (or creates) the journal at path for appending. A torn last line that a crash left is
  // cut off first, so that what is appended starts on a line of its own.
  bool open(const std::filesystem::path& path, std::string& error);
  bool isOpen() const { return file_.isOpen(); }
  // Appends the record's line; durable only once sync() has answered.
  bool append(std::string_view record, std::string& error);
  bool sync(std::string& error) { return file_.sync(error); }
  void close() { file_.close(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  station_platform::AppendFile file_;
  std::filesystem::path path_;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTJOURNAL_H_
