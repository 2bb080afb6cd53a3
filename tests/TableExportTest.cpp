#include "stdf/TableExport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "stdf/DatalogTool.h"
#include "tests/support/StdfEncoder.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace stdftest;
namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The text of a gzip file, or "<not gzip>".
std::string gunzip(const fs::path& path) {
  const std::string bytes = readBytes(path);
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return "<not gzip>";
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string text;
  char out[4096];
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = sizeof out;
    status = inflate(&z, Z_NO_FLUSH);
    text.append(out, sizeof out - z.avail_out);
  }
  inflateEnd(&z);
  return status == Z_STREAM_END && z.avail_in == 0 ? text : "<not gzip>";
}

// Every file under dir, as paths relative to it.
std::set<std::string> filesUnder(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) out.insert(fs::relative(entry.path(), dir).generic_string());
  }
  return out;
}

std::string ftr(bool big, unsigned test, int site, int flags) {
  return record(15, 20, Fields(big).u4(test).u1(1).u1(site).u1(flags).u1(0xff));
}

const unsigned START = 1796817600;  // 2026-12-09T12:00:00Z

// A wafer with a die tested again (5,4) and a functional test, then two parts off the wafer
// without coordinates, the second a flagged retest of the first, whose PTR gives other limits,
// name and unit than the test's first (the first stay); texts with commas and quotes.
// cut: where part 3's PRR begins.
std::string waferDatalog(std::size_t* cut = nullptr) {
  const bool le = false;
  std::string bytes = far(le) + mir(le, START, "L7", "PMIC", "S,1") + wir(le, "W1") + pir(le, 1) +
                      ptr(le, 100, 1, 0, 1.5f, "VOUT, \"load\"", 1.0f, 2.0f, "V") +
                      ftr(le, 200, 1, 0) + pir(le, 2) + shortPtr(le, 100, 2, 0x80, 2.25f) +
                      ftr(le, 200, 2, 0x80) + prrAt(le, 1, 0, 1, 1, 3, 4, 20, "1") +
                      prrAt(le, 2, 0x08, 5, 50, 5, 4, 21, "2") + pir(le, 1) +
                      shortPtr(le, 100, 1, 0, 1.25f);
  if (cut != nullptr) *cut = bytes.size();
  return bytes + prrAt(le, 1, 0, 1, 1, 5, 4, 22, "3") + wrr(le) + pir(le, 1) +
         shortPtr(le, 100, 1, 0x02, 9.0f) +
         prrAt(le, 1, 0x08, 5, 65535, -32768, -32768, 0, "a\"b,c") + pir(le, 1) +
         ptr(le, 100, 1, 0, 1.75f, "other", 0.0f, 3.0f, "mV") +
         prrAt(le, 1, 0x01, 1, 1, -32768, -32768, 23, "a\"b,c") + tsr(le, 'F', 200, "FUNC") +
         tsr(le, 'P', 300, "LEAK") + tsr(le, 'P', 100, "other") +
         record(1, 20, Fields(le).u4(START + 60));
}

const char PARTS[] =
    "file,part_index,lot_id,sublot_id,wafer_id,head,site,part_id,x,y,hard_bin,soft_bin,passed,"
    "superseded,test_time_ms,num_tests,lot_start\n";
const char RESULTS[] = "file,part_index,head,site,part_id,test_num,value,passed,flags\n";
const char TESTS[] =
    "file,test_num,kind,name,unit,low_limit,high_limit,result_scale,low_limit_scale,"
    "high_limit_scale\n";

std::tuple<int, std::string> runTool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = runDatalogTool(args, out, err);
  EXPECT_EQ(out.str(), "");
  return {status, err.str()};
}

TEST(TableExportTest, WholeAndDamagedDatalogsRowForRow) {
  TempDir dir;
  std::size_t cut = 0;
  const std::string bytes = waferDatalog(&cut);
  const std::string whole = dir.write("wafer7.stdf", bytes);
  const std::string damaged = dir.write("cut7.stdf", bytes.substr(0, cut + 5));
  const std::string to = dir.path("tables");
  const std::string lot = "part_type=PMIC/lot=L7/";
  const std::string t = "2026-12-09T12:00:00Z\n";
  const struct {
    std::string file;
    int status;
    std::string err;
    std::string parts, results, tests;
  } runs[] = {
      {whole, DATALOG_OK, "",
       std::string(PARTS) + "wafer7.stdf,1,L7,\"S,1\",W1,1,1,1,3,4,1,1,true,false,20,2," + t +
           "wafer7.stdf,2,L7,\"S,1\",W1,1,2,2,5,4,5,50,false,true,21,2," + t +
           "wafer7.stdf,3,L7,\"S,1\",W1,1,1,3,5,4,1,1,true,false,22,2," + t +
           "wafer7.stdf,4,L7,\"S,1\",,1,1,\"a\"\"b,c\",,,5,,false,true,,2," + t +
           "wafer7.stdf,5,L7,\"S,1\",,1,1,\"a\"\"b,c\",,,1,1,true,false,23,2," + t,
       std::string(RESULTS) + "wafer7.stdf,1,1,1,1,100,1.5,true,0\n"
                              "wafer7.stdf,1,1,1,1,200,,true,0\n"
                              "wafer7.stdf,2,1,2,2,100,2.25,false,128\n"
                              "wafer7.stdf,2,1,2,2,200,,false,128\n"
                              "wafer7.stdf,3,1,1,3,100,1.25,true,0\n"
                              "wafer7.stdf,4,1,1,\"a\"\"b,c\",100,,true,2\n"
                              "wafer7.stdf,5,1,1,\"a\"\"b,c\",100,1.75,true,0\n",
       std::string(TESTS) + "wafer7.stdf,100,P,\"VOUT, \"\"load\"\"\",V,1,2,0,0,0\n"
                            "wafer7.stdf,200,F,FUNC,,,,,,\n"
                            "wafer7.stdf,300,P,LEAK,,,,,,\n"},
      // Cut inside part 3's PRR: part 2 is not superseded yet, part 3's result has no part.
      {damaged, DATALOG_DAMAGED,
       "ate-datalog: " + damaged + ": byte " + std::to_string(cut) +
           ": PRR record of 19 bytes runs past the end of the file (1 of them there)\n",
       std::string(PARTS) + "cut7.stdf,1,L7,\"S,1\",W1,1,1,1,3,4,1,1,true,false,20,2," + t +
           "cut7.stdf,2,L7,\"S,1\",W1,1,2,2,5,4,5,50,false,false,21,2," + t,
       std::string(RESULTS) + "cut7.stdf,1,1,1,1,100,1.5,true,0\n"
                              "cut7.stdf,1,1,1,1,200,,true,0\n"
                              "cut7.stdf,2,1,2,2,100,2.25,false,128\n"
                              "cut7.stdf,2,1,2,2,200,,false,128\n"
                              "cut7.stdf,,1,1,,100,1.25,true,0\n",
       std::string(TESTS) + "cut7.stdf,100,P,\"VOUT, \"\"load\"\"\",V,1,2,0,0,0\n"
                            "cut7.stdf,200,F,,,,,,,\n"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.file);
    const auto [status, err] = runTool({"export", "--to", to, run.file});
    EXPECT_EQ(status, run.status);
    EXPECT_EQ(err, run.err);
    const std::string stem = fs::path(run.file).stem().string();
    EXPECT_EQ(gunzip(to + "/parts/" + lot + stem + ".csv.gz"), run.parts);
    EXPECT_EQ(gunzip(to + "/results/" + lot + stem + ".csv.gz"), run.results);
    EXPECT_EQ(gunzip(to + "/tests/" + lot + stem + ".csv.gz"), run.tests);
  }

  // Again: the same bytes, in place of the earlier files, with no time or name in the header.
  std::vector<std::string> before;
  const std::set<std::string> names = filesUnder(to);
  for (const std::string& name : names) before.push_back(readBytes(fs::path(to) / name));
  ASSERT_EQ(std::get<0>(runTool({"export", "--to", to, whole, damaged})), DATALOG_DAMAGED);
  EXPECT_EQ(filesUnder(to), names);
  ASSERT_EQ(names.size(), 6u);
  std::size_t k = 0;
  for (const std::string& name : names) {
    const std::string after = readBytes(fs::path(to) / name);
    EXPECT_EQ(after, before[k++]) << name;
    EXPECT_EQ(after.substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\x04\xff", 10)) << name;
  }

  // Outputs that can't be written, and bad arguments.
  const std::string blocked = dir.write("blocked", "a file, not a folder");
  const auto [status, err] = runTool({"export", "--to", blocked, whole});
  EXPECT_EQ(status, DATALOG_WRITE);
  EXPECT_EQ(err.rfind("ate-datalog: cannot make " + (fs::path(blocked) / "results").string(), 0),
            0u)
      << err;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"export", whole},
                                               {"export", "--to", to},
                                               {"export", "-t", to, whole}}) {
    EXPECT_EQ(std::get<0>(runTool(args)), DATALOG_USAGE);
  }
  EXPECT_EQ(runTool({"export", "--to", to, dir.path("missing.stdf")}),
            std::make_tuple(int{DATALOG_USAGE},
                            "ate-datalog: cannot open " + dir.path("missing.stdf") + "\n"));
}

// Lot ids that would break the layout or leave the folder, and what engines decode.
TEST(TableExportTest, HostileLotIdsStayOneFolderInsideTheLayout) {
  const struct {
    std::string lot;
    std::string folder;
  } lots[] = {
      {"a/b=c", "a%2Fb%3Dc"},
      {"..", ".%2E"},
      {" a.b c ", " a.b c%20"},
      {"../../up", "..%2F..%2Fup"},
      {"100%", "100%25"},
      {"", "__HIVE_DEFAULT_PARTITION__"},
      {"C:\\x y", "C%3A%5Cx y"},
      {"q\"'#?*+<>|", "q%22%27%23%3F%2A%2B%3C%3E%7C"},
      {"[a]{b}^", "%5Ba%5D%7Bb%7D%5E"},
      {std::string("t\x01\t\x7f\xc3\xa9", 6), "t%01%09%7F%C3%A9"},
      {"LOT-7.2_a~", "LOT-7.2_a~"},
  };
  for (const auto& lot : lots) {
    SCOPED_TRACE(lot.lot);
    EXPECT_EQ(stdf::hivePartitionValue(lot.lot), lot.folder);
    TempDir dir;
    const std::string file = dir.write(
        "x.stdf", far(false) + mir(false, START, lot.lot, "P/1", "") + pir(false, 1) +
                      prrAt(false, 1, 0, 1, 1, 0, 0, 5, "1") + record(1, 20, Fields(false).u4(0)));
    const std::string to = dir.path("out");
    ASSERT_EQ(std::get<0>(runTool({"export", "--to", to, file})), DATALOG_OK);
    std::set<std::string> expected;
    for (const char* table : {"parts", "results", "tests"}) {
      expected.insert(std::string(table) + "/part_type=P%2F1/lot=" + lot.folder + "/x.csv.gz");
    }
    EXPECT_EQ(filesUnder(to), expected);
    // Nothing beside the input and the output folder.
    EXPECT_EQ(filesUnder(dir.path("")).size(), 4u);
    std::string row = "x.stdf,1,";
    stdf::appendCsvField(row, lot.lot);
    EXPECT_EQ(
        gunzip(to + "/parts/part_type=P%2F1/lot=" + lot.folder + "/x.csv.gz"),
        std::string(PARTS) + row + ",,,1,1,1,0,0,1,1,true,false,5,2," + stdf::isoUtc(START) + "\n");
  }
  const struct {
    std::uint64_t seconds;
    const char* text;
  } times[] = {{0, "1970-01-01T00:00:00Z"},
               {951868799, "2000-02-29T23:59:59Z"},
               {START, "2026-12-09T12:00:00Z"},
               {4107542401, "2100-03-01T00:00:01Z"}};
  for (const auto& time : times) EXPECT_EQ(stdf::isoUtc(time.seconds), time.text);
}

}  // namespace
