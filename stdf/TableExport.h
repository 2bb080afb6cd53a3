// The tables of `ate-datalog export`: a datalog's parts, measurements and tests as three
// gzip-compressed CSV files in a Hive-style folder layout that query engines (DuckDB, Spark)
// read as partitioned tables:
//
//   DIR/parts/part_type=P/lot=L/STEM.csv.gz     one row per PRR
//   DIR/results/part_type=P/lot=L/STEM.csv.gz   one row per PTR and FTR
//   DIR/tests/part_type=P/lot=L/STEM.csv.gz     one row per test number
//
// P and L are the MIR's PART_TYP and LOT_ID (escaped by hivePartitionValue), STEM the datalog's
// file name without its extension. docs/fleet.md lists the columns.
//
// Memory: results are written as they are read; only the results of the parts open at once
// (between a PIR and its PRR, one per head and site) are held, because a result's row carries
// its part's id, which the PRR gives. Up to 16 MiB of rows are held for a part: beyond, as in a
// file that never ends its parts, they are written without the part's key. Each finished part is
// kept as one small entry (about 40 bytes and its PART_ID; with the supersede rule's index of
// dies and part ids, some 140 bytes a part), because whether a part is superseded is known only
// once the file has been read; the parts table is written at the end, with the tests table (one
// entry per test).
//
// Not thread-safe: one thread uses an object.
#ifndef ATE_STDF_TABLEEXPORT_H_
#define ATE_STDF_TABLEEXPORT_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "stdf/GzipFile.h"
#include "stdf/StdfReader.h"
#include "stdf/Supersede.h"

namespace stdf {

// The folder name's value for a partition value: empty is Hive's __HIVE_DEFAULT_PARTITION__;
// otherwise each byte that a path, Hive, Spark or DuckDB gives a meaning to (/ \ = % : " ' # ?
// * + < > | [ ] { } ^), each control byte and each byte from 0x7F up becomes %XX (uppercase
// hex), which both engines decode, and so does a dot or space that ends the value (Windows would
// drop it). Letters, digits, spaces and the rest stay: the result never holds a separator, so
// `lot=VALUE` stays one folder of the layout.
std::string hivePartitionValue(std::string_view value);

// Text as an RFC 4180 field, appended to out: quoted when it holds a comma, a quote, CR or LF,
// with quotes doubled.
void appendCsvField(std::string& out, std::string_view text);

// Seconds since 1970-01-01 UTC as ISO 8601 text, e.g. 2026-12-09T12:00:00Z.
std::string isoUtc(std::uint64_t seconds);

class TableExport {
 public:
  // dir: the root of the layout. fileName: the datalog's file name, as the `file` column shows
  // it; its stem names the three files.
  TableExport(std::filesystem::path dir, std::string fileName);
  ~TableExport();
  TableExport(const TableExport&) = delete;
  TableExport& operator=(const TableExport&) = delete;

  // Takes the datalog's next record.
  void add(const Record& record);
  // Writes what remains and puts the three files in place, each replacing its earlier version
  // at once. Results of a part whose PRR never came (a file cut short) are written with empty
  // part_index and part_id. False when a file or folder can't be written, with error() saying
  // which and why; the files are renamed one after the other, so those not reached by then keep
  // their earlier version.
  bool finish();
  const std::string& error() const { return error_; }

 private:
  struct Part;
  struct Test;
  struct Open {
    std::string rows;  // the tails of this part's result rows, from test_num on, one a line
  };

  bool openResults();
  std::unique_ptr<GzipFile> openTable(const char* table);
  void addResult(const Record& record, bool parametric);
  void addPrr(const Record& record);
  void addTsr(const Record& record);
  Test& test(std::uint32_t number, char kind);
  void writeRows(const std::string& rows, const std::string& prefix);
  // Writes the rows of the open part at key with empty part_index and part_id.
  void writeKeyless(std::uint32_t key);
  void flushResults(bool force);
  void fail(const std::string& message);

  const std::filesystem::path dir_;
  const std::string fileName_;
  std::string fileField_;  // fileName_ as a CSV field, followed by a comma
  std::string partType_, lot_, sublot_;
  std::optional<std::uint64_t> start_;
  bool sawRecords_ = false;

  std::unique_ptr<GzipFile> results_;
  std::string resultsBuffer_;
  std::unordered_map<std::uint32_t, Open> open_;  // by head << 8 | site

  std::vector<Part> parts_;
  std::string partIds_;  // every part's PART_ID, one after the other
  std::vector<std::string> wafers_;
  bool onWafer_ = false;
  SupersedeTracker supersede_;

  std::vector<Test> tests_;
  std::unordered_map<std::uint32_t, std::size_t> testIndex_;

  std::string error_;
};

}  // namespace stdf

#endif  // ATE_STDF_TABLEEXPORT_H_
