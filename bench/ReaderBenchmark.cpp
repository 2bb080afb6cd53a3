// ate-datalog summary against the least work that reads a datalog: a fold of our own that reads
// the file whole and adds every PTR (test number, flags, result) and PRR (site, pass) into flat
// per-test and per-site figures, nothing else. Both on final-test datalogs of 48,000 parts
// (about 40 MB) and 200,000 parts (about 167 MB) of 50 parametric tests on 4 sites. Each side's
// time is the fastest of its runs, taken in turn.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "stdf/DatalogTool.h"
#include "tests/support/StdfEncoder.h"

namespace {

constexpr int DEVICES = 4;
constexpr int TESTS = 50;
constexpr int RUNS = 9;

// A final-test datalog as testers write them: per part a PIR, a PTR per test and a PRR, each
// test's first PTR with its name, limits and unit and the later ones only up to RESULT (10.4
// million records and about 167 MB for 200,000 parts); site 3 fails a test now and then.
std::string writeDatalog(const std::string& path, int parts) {
  using namespace stdftest;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::string out = far(false) + mir(false, 1700000000, "READ", "PMIC", "A");
  unsigned random = 1;
  for (int part = 0; part < parts; ++part) {
    const int site = 1 + part % DEVICES;
    bool failed = false;
    out += pir(false, site);
    for (unsigned test = 1; test <= TESTS; ++test) {
      random = random * 1103515245u + 12345u;
      const float value = 1.0f + static_cast<float>(random >> 16 & 0x3ff) / 1024.0f;
      const bool fails = site == 3 && test == 7 && value > 1.9f;
      failed = failed || fails;
      const int flags = fails ? 0x80 : 0;
      out += part < DEVICES
                 ? ptr(false, test, site, flags, value, "T" + std::to_string(test), 1.0f, 1.9f, "V")
                 : shortPtr(false, test, site, flags, value);
    }
    out += prr(false, site, failed ? 0x08 : 0, failed ? 5 : 1, failed ? 5 : 1,
               std::to_string(part + 1));
    if (out.size() > (1u << 22)) {
      if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) std::abort();
      out.clear();
    }
  }
  out +=
      bin(false, true, 255, 255, 1, 0, 'P', "PASS") + bin(false, true, 255, 255, 5, 0, 'F', "FAIL");
  out += record(1, 20, Fields(false).u4(1700000000));
  if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) std::abort();
  std::fclose(file);
  return path;
}

struct TestFold {
  std::uint64_t count = 0, fails = 0;
  double sum = 0, squares = 0, min = 0, max = 0;
};
struct SiteFold {
  std::uint64_t parts = 0, good = 0;
};

// The least work: the file read whole, each record's header looked at, the fields a figure needs
// read in place; tests by their number in a flat table.
std::uint64_t fold(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) std::abort();
  std::vector<unsigned char> bytes(std::filesystem::file_size(path));
  if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
  std::fclose(file);
  std::vector<TestFold> tests(65536);
  SiteFold sites[256] = {};
  const auto u4 = [](const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
  };
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    const unsigned char* head = &bytes[at];
    const std::size_t length = head[0] | head[1] << 8;
    const unsigned char* data = head + 4;
    if (head[2] == 15 && head[3] == 10 && length >= 12) {  // PTR
      TestFold& test = tests[u4(data) & 0xffff];
      const std::uint32_t bits = u4(data + 8);
      float value;
      std::memcpy(&value, &bits, sizeof value);
      if (test.count == 0 || value < test.min) test.min = value;
      if (test.count == 0 || value > test.max) test.max = value;
      ++test.count;
      if ((data[6] & 0x80) != 0) ++test.fails;
      test.sum += value;
      test.squares += static_cast<double>(value) * value;
    } else if (head[2] == 5 && head[3] == 20 && length >= 3) {  // PRR
      SiteFold& site = sites[data[1]];
      ++site.parts;
      if ((data[2] & 0x1c) == 0) ++site.good;
    }
    at += 4 + length;
  }
  std::uint64_t seen = 0;
  for (const SiteFold& site : sites) seen += site.parts + site.good;
  for (const TestFold& test : tests) seen += test.count + static_cast<std::uint64_t>(test.sum);
  return seen;
}

void summary(const std::string& path) {
  std::ostringstream out, err;
  if (runDatalogTool({"summary", path}, out, err) != DATALOG_OK) std::abort();
}

double seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compare(const std::string& label, const std::string& path) {
  double folded = 1e9, summarised = 1e9;
  std::uint64_t sink = 0;
  for (int run = 0; run < RUNS; ++run) {
    folded = std::min(folded, seconds([&] { sink += fold(path); }));
    summarised = std::min(summarised, seconds([&] { summary(path); }));
  }
  if (sink == 0) std::abort();
  const double megabytes = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
  std::cout << label << ": " << megabytes << " MB; fold " << folded << " s, summary " << summarised
            << " s" << std::endl;
  bench::printFigure(std::cout, "reader, " + label + ": ate-datalog summary / least-work fold",
                     summarised / folded, "", 3.0);
  bench::printFigure(std::cout, "reader, " + label + ": summary reads", megabytes / summarised,
                     "MB/s");
}

}  // namespace

// reader_bench [FOLDER]: with a folder, the datalogs are written there and kept (to profile the
// reader on them, say).
int main(int argc, char** argv) {
  bench::TempDir dir;
  const std::filesystem::path folder = argc > 1 ? argv[1] : dir.path("");
  const std::string small = writeDatalog((folder / "final_48000.stdf").string(), 48000);
  const std::string large = writeDatalog((folder / "final_200000.stdf").string(), 200000);
  compare("48,000 parts x 50 tests", small);
  compare("200,000 parts x 50 tests", large);
  return 0;
}
