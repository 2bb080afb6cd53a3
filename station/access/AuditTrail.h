// The audit trail: every request that changes something and every lot event, as one JSON line
// each in an append-only file (when, who, with which role, from which address, what, and the
// outcome). Each line carries the SHA-256 of the line before it ("prev"), so that a line edited
// or deleted breaks the chain where it was; and the chain's latest hash goes into each lot's
// datalog (an anchor that leaves the station with the data), so that a trail rewritten whole
// is found too. Thread-safe; each line is on the disk before append() returns.
#ifndef ATE_STATION_ACCESS_AUDITTRAIL_H_
#define ATE_STATION_ACCESS_AUDITTRAIL_H_

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "station/Platform.h"

struct AuditEntry {
  std::string who;      // an account, or what acted by itself ("station", "handler")
  std::string role;     // the account's role; empty for the station
  std::string address;  // where the request came from; empty for the station
  std::string what;
  std::string outcome;
};

class AuditTrail {
 public:
  // Opens the trail, creating it when missing; false with error when it can't be read (its last
  // line gives the hash the next one chains on) or written.
  bool open(const std::filesystem::path& file, std::string& error);
  bool isOpen() const;
  void append(const AuditEntry& entry);
  // The SHA-256 of the newest line: the anchor a datalog takes. Empty while the trail is empty.
  std::string head() const;
  // The newest lines, at most count, oldest first.
  std::vector<std::string> newest(std::size_t count) const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::filesystem::path file_;
  station_platform::AppendFile out_;
  std::string head_;
  std::vector<std::string> recent_;  // the newest lines, for the page
};

// What `ate-station audit verify` finds.
struct TrailCheck {
  bool holds = true;
  std::size_t lines = 0;
  std::size_t brokenLine = 0;  // from 1; 0 when the chain holds
  std::string message;         // for people
};

// Checks the chain line by line, and that every anchor (a line's hash a datalog took) is the
// hash of a line the trail still holds.
TrailCheck verifyTrail(const std::filesystem::path& file, const std::vector<std::string>& anchors);

// The anchors of an STDF datalog: the trail's hashes its DTRs "ate:audit sha256=HEX" name.
std::vector<std::string> datalogAnchors(const std::filesystem::path& datalog, std::string& error);

#endif  // ATE_STATION_ACCESS_AUDITTRAIL_H_
