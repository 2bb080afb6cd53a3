// Writes the datalogs of the fleet query test into a folder: two files of lot "A/1" (a wafer
// each, the second big-endian, with dies tested again), one of lot "B=2, 50%." without a wafer
// (parts tested again by part id, flagged or not) and one without a lot id.
//
//   fleet_datalogs FOLDER
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/StdfEncoder.h"

namespace {

using namespace stdftest;

constexpr int TESTS = 5;
constexpr unsigned START = 1796817600;

struct Writer {
  explicit Writer(bool bigEndian) : big(bigEndian) {}
  bool big;
  std::string bytes;
  int parts = 0;

  // One part on site: TESTS parametric tests (100...) and a functional one (200); values
  // spread over and beyond the limits 1.0 to 1.9.
  void part(int site, int x, int y, int flags, const std::string& id, int seed) {
    bytes += pir(big, site);
    bool failed = false;
    for (int t = 0; t < TESTS; ++t) {
      const float value = 1.0f + static_cast<float>((seed * 7 + t * 3) % 11) / 10.0f;
      const bool fail = value > 1.9f;
      failed |= fail;
      const unsigned number = 100 + static_cast<unsigned>(t);
      bytes += parts == 0 ? ptr(big, number, site, fail ? 0x80 : 0, value,
                                "T" + std::to_string(number), 1.0f, 1.9f, "V")
                          : shortPtr(big, number, site, fail ? 0x80 : 0, value);
    }
    const bool functionalFail = seed % 5 == 3;
    failed |= functionalFail;
    bytes +=
        record(15, 20, Fields(big).u4(200).u1(1).u1(site).u1(functionalFail ? 0x80 : 0).u1(0xff));
    bytes += prrAt(big, site, flags | (failed ? 0x08 : 0), failed ? 5 : 1, failed ? 50 : 1, x, y,
                   10 + static_cast<unsigned>(seed), id);
    ++parts;
  }
};

bool save(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fleet_datalogs FOLDER\n";
    return 2;
  }
  const std::string folder = argv[1];
  const std::string mrr = record(1, 20, Fields(false).u4(START + 3600));
  std::vector<std::pair<std::string, std::string>> files;

  // Lot A/1, wafer W1: a 4 x 4 grid on 4 sites, then the dies that failed tested again.
  Writer a1{false};
  a1.bytes = far(false) + mir(false, START, "A/1", "PMIC", "1") + wir(false, "W1");
  std::vector<std::pair<int, int>> failedDies;
  for (int k = 0; k < 16; ++k) {
    a1.part(k % 4 + 1, k % 4, k / 4, 0, std::to_string(k + 1), k);
    if ((k * 7) % 11 >= 7 || k % 5 == 3) failedDies.emplace_back(k % 4, k / 4);
  }
  int seed = 16;
  for (const auto& [x, y] : failedDies) {
    ++seed;
    a1.part(1, x, y, 0, std::to_string(seed), seed);
  }
  files.emplace_back("a1.stdf", a1.bytes + wrr(false) + record(1, 20, Fields(false).u4(0)));

  // Lot A/1, wafer W2, big-endian: a 3 x 3 grid, two dies tested again (flagged).
  Writer a2{true};
  a2.bytes = far(true) + mir(true, START + 7200, "A/1", "PMIC", "2") + wir(true, "W2");
  for (int k = 0; k < 9; ++k) a2.part(k % 2 + 1, k % 3, k / 3, 0, std::to_string(k + 1), k + 3);
  a2.part(1, 0, 0, 0x02, "10", 40);
  a2.part(2, 2, 2, 0x02, "11", 41);
  files.emplace_back("a2.stdf", a2.bytes + wrr(true) + record(1, 20, Fields(true).u4(0)));

  // Lot "B=2, 50%.", no wafer: ten parts, then 3 and 7 retested (flagged), 5 tested again without
  // the flag (a part of its own), and a flagged retest of an id never seen.
  Writer b{false};
  b.bytes = far(false) + mir(false, START, "B=2, 50%.", "PMIC", "");
  for (int k = 1; k <= 10; ++k) b.part(k % 2 + 1, -32768, -32768, 0, std::to_string(k), k);
  b.part(1, -32768, -32768, 0x01, "3", 20);
  b.part(2, -32768, -32768, 0x01, "7", 21);
  b.part(1, -32768, -32768, 0, "5", 22);
  b.part(2, -32768, -32768, 0x01, "99", 23);
  files.emplace_back("b.stdf", b.bytes + mrr);

  // No lot id.
  Writer none{false};
  none.bytes = far(false) + mir(false, START, "", "PMIC", "");
  for (int k = 1; k <= 3; ++k) none.part(1, -32768, -32768, 0, std::to_string(k), k * 2);
  files.emplace_back("nolot.stdf", none.bytes + mrr);

  for (const auto& [name, bytes] : files) {
    if (!save(folder + "/" + name, bytes)) {
      std::cerr << "fleet_datalogs: cannot write " << folder << "/" << name << '\n';
      return 1;
    }
  }
  return 0;
}
