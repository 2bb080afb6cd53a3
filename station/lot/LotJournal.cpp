#include "station/lot/LotJournal.h"

#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace lot {

namespace {

constexpr std::size_t CRC_DIGITS = 8;

std::uint32_t crcOf(std::string_view text) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

// The record of a whole line (without its line feed), or false when the line isn't one.
bool recordOf(std::string_view line, std::string_view& record) {
  if (line.size() < CRC_DIGITS + 2 || line[CRC_DIGITS] != ' ') return false;
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < CRC_DIGITS; ++i) {
    const char c = line[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    crc = crc << 4 | static_cast<std::uint32_t>(digit);
  }
  record = line.substr(CRC_DIGITS + 1);
  return crcOf(record) == crc;
}

}  // namespace

std::string journalLine(std::string_view record) {
  char crc[CRC_DIGITS + 2];
  std::snprintf(crc, sizeof crc, "%08x ", static_cast<unsigned>(crcOf(record)));
  std::string line(crc, CRC_DIGITS + 1);
  line.append(record);
  line += '\n';
  return line;
}

JournalText readJournalText(std::string_view text) {
  JournalText out;
  std::size_t goodEnd = 0;  // just past the line feed of the last good line
  std::size_t badLine = 0;  // the first bad line after goodEnd, by number; 0: none
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    ++number;
    std::string_view record;
    if (end != std::string_view::npos && recordOf(text.substr(at, end - at), record)) {
      if (badLine != 0) {
        out.status = JournalText::Status::damaged;
        out.error = "line " + std::to_string(badLine) + " is damaged, and line " +
                    std::to_string(number) + " after it is whole";
        out.records.clear();
        return out;
      }
      out.records.emplace_back(record);
      goodEnd = end + 1;
    } else if (badLine == 0) {
      badLine = number;
    }
    at = end == std::string_view::npos ? text.size() : end + 1;
  }
  out.tornBytes = text.size() - goodEnd;
  return out;
}

JournalText readJournal(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    JournalText missing;
    missing.status = JournalText::Status::missing;
    missing.error = "cannot read " + path.u8string();
    return missing;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    JournalText failed;
    failed.status = JournalText::Status::damaged;
    failed.error = "cannot read " + path.u8string() + " to its end";
    return failed;
  }
  return readJournalText(text);
}

bool JournalWriter::open(const std::filesystem::path& path, std::string& error) {
  std::error_code failure;
  if (std::filesystem::exists(path, failure)) {
    const JournalText read = readJournal(path);
    if (read.status != JournalText::Status::ok) {
      error = read.error;
      return false;
    }
    if (read.tornBytes > 0) {
      const std::uintmax_t size = std::filesystem::file_size(path, failure);
      if (!failure) std::filesystem::resize_file(path, size - read.tornBytes, failure);
      if (failure) {
        error = "cannot cut the torn last line off " + path.u8string() + ": " + failure.message();
        return false;
      }
    }
  }
  path_ = path;
  if (!file_.open(path, error)) return false;
  station_platform::syncFolder(path.parent_path());
  return true;
}

bool JournalWriter::append(std::string_view record, std::string& error) {
  return file_.append(journalLine(record), error);
}

}  // namespace lot
