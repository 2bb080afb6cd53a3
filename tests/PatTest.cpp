// Outlier screening: a generated lot with planted outliers, one for each rule, through
// ate-datalog pat limits and pat apply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <tuple>

#include "host/ChildProcess.h"
#include "stdf/DatalogSummary.h"
#include "stdf/DatalogTool.h"
#include "stdf/LotData.h"
#include "stdf/Pat.h"
#include "stdf/StdfReader.h"
#include "tests/support/DriverSession.h"
#include "tests/support/StdfEncoder.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace stdftest;

// A value in [-1, 1] fixed by its key.
double noise(int a, int b, int c) {
  std::uint32_t h = 2166136261u;
  for (const int v : {a, b, c}) h = (h ^ static_cast<std::uint32_t>(v + 1000)) * 16777619u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return (h % 20001) / 10000.0 - 1.0;
}

struct Part {
  int x = -32768, y = -32768;
  int bin = 1;
  double t1 = 50, t2 = 50;
  std::string id;
  std::optional<double> t5;
};

// One part: PIR, the tests' PTRs, PRR. T1 has a gradient across the wafer, T2 is flat, T3 is
// narrow beside its test limits, T4 never changes, T5 only some parts have.
std::string part(bool big, int site, const Part& p, int seed) {
  const int flags = p.bin == 1 ? 0 : 0x08;
  std::string out = pir(big, site);
  out += ptr(big, 1, site, 0, static_cast<float>(p.t1), "T1", 0, 100, "V");
  out += ptr(big, 2, site, 0, static_cast<float>(p.t2), "T2", 0, 100, "V");
  out += ptr(big, 3, site, 0, static_cast<float>(50 + 0.5 * noise(p.x, p.y, seed + 3)), "T3", 49,
             51, "V");
  out += ptr(big, 4, site, 0, 7.0f, "T4", 0, 10, "V");
  if (p.t5) out += ptr(big, 5, site, 0, static_cast<float>(*p.t5), "T5", 0, 10, "V");
  return out + prrAt(big, site, flags, p.bin, p.bin, p.x, p.y, 0, p.id);
}

struct Wafer {
  std::string id;
  std::vector<Part> dies;
};

// A round wafer of radius 7 dies: T1 = 50 + 0.3 x + noise, T2 = 50 + noise.
Wafer wafer(const std::string& id, int seed) {
  Wafer w{id, {}};
  for (int y = -7; y < 7; ++y) {
    for (int x = -7; x < 7; ++x) {
      if (std::hypot(x + 0.5, y + 0.5) > 7) continue;
      Part p;
      p.x = x;
      p.y = y;
      p.t1 = 50 + 0.3 * x + 0.5 * noise(x, y, seed);
      p.t2 = 50 + noise(x, y, seed + 1);
      p.id = id + "-" + std::to_string(w.dies.size() + 1);
      w.dies.push_back(p);
    }
  }
  return w;
}

Part& at(Wafer& w, int x, int y) {
  for (Part& p : w.dies) {
    if (p.x == x && p.y == y) return p;
  }
  throw std::runtime_error("no die there");
}

// A datalog of wafers and then parts without a wafer, with a WRR per wafer and an HBR per bin.
std::string datalog(bool big, const std::vector<Wafer>& wafers, const std::vector<Part>& parts) {
  std::string out = far(big) + mir(big, 1, "LOTPAT", "CHIP", "A");
  std::map<int, unsigned> bins;
  int site = 0, seed = 0;
  for (const Wafer& w : wafers) {
    out += wir(big, w.id);
    unsigned good = 0;
    for (const Part& p : w.dies) {
      out += part(big, site % 4 + 1, p, ++seed);
      ++site;
      ++bins[p.bin];
      if (p.bin == 1) ++good;
    }
    out += record(
        2, 20,
        Fields(big).u1(1).u1(255).u4(0).u4(w.dies.size()).u4(0).u4(0).u4(good).u4(0).cn(w.id));
  }
  for (const Part& p : parts) {
    out += part(big, site % 4 + 1, p, ++seed);
    ++site;
    ++bins[p.bin];
  }
  for (const auto& [number, count] : bins) {
    out += bin(big, true, 255, 0, number, count, number == 1 ? 'P' : 'F',
               number == 1 ? "GOOD" : "BAD");
  }
  return out + record(1, 20, Fields(big).u4(0).c1(' ').cn("").cn(""));
}

// The lot: W1 and W2 in a little-endian file; W3 and 60 parts off wafers in a big-endian one.
struct Lot {
  std::string first, second;
};

Lot plantedLot() {
  Wafer w1 = wafer("W1", 10), w2 = wafer("W2", 20), w3 = wafer("W3", 30);
  at(w1, -2, 3).t2 = 58;   // static: outside the limits file, inside the test limits
  at(w1, 4, 1).t2 = 55.6;  // dynamic: inside the limits file, outside the wafer's own limits
  at(w2, -5, 2).t1 += 6;   // nnr: within the wafer's spread, far from its neighbours
  for (int y = -4; y <= -2; ++y) {
    for (int x = -4; x <= -2; ++x) {
      if (x != -3 || y != -3) at(w1, x, y).bin = 3;  // gdbn: the good die inside a failing ring
    }
  }
  at(w1, 3, -4).bin = 3;  // zpat: fails on two of three wafers; the third's is good
  at(w2, 3, -4).bin = 3;
  // A die tested twice: first with an outlying value, then as any other; its last result counts.
  Part first = at(w2, 0, 0);
  first.t2 = 58;
  w2.dies.insert(w2.dies.begin() + 5, first);
  std::vector<Part> parts;
  for (int i = 1; i <= 60; ++i) {
    Part p;
    p.t1 = 50 + 0.5 * noise(i, 0, 40);
    p.t2 = 50 + noise(i, 0, 41);
    p.id = "P" + std::to_string(i);
    if (i <= 10) p.t5 = 5 + noise(i, 0, 42);
    parts.push_back(p);
  }
  parts[16].t2 = 44.9;  // dynamic, per lot off wafers: P17
  return {datalog(false, {w1, w2}, {}), datalog(true, {w3}, parts)};
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out(1);
  for (const char c : line) {
    if (c == ',') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

int tool(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::ostringstream o, e;
  const int status = runDatalogTool(args, o, e);
  out = o.str();
  err = e.str();
  return status;
}

TEST(Pat, QuantilesAreRsTypeSevenAndLimitsTheirRobustSpread) {
  std::vector<double> four = {4, 1, 3, 2};
  stdf::RobustLimits limits;
  ASSERT_TRUE(stdf::robustLimits(four, 6, limits));
  EXPECT_DOUBLE_EQ(limits.q1, 1.75);
  EXPECT_DOUBLE_EQ(limits.median, 2.5);
  EXPECT_DOUBLE_EQ(limits.q3, 3.25);
  EXPECT_DOUBLE_EQ(limits.sigma, 1.5 / 1.35);
  EXPECT_DOUBLE_EQ(limits.low, 2.5 - 6 * 1.5 / 1.35);
  std::vector<double> five = {10, 1, 4, 3, 2};
  EXPECT_DOUBLE_EQ(stdf::quantileType7(five, 0.25), 2);
  EXPECT_DOUBLE_EQ(stdf::quantileType7(five, 0.9), 4 + 0.6 * 6);
  std::vector<double> flat = {1, 1, 1, 1, 2};
  EXPECT_FALSE(stdf::robustLimits(flat, 6, limits)) << "Q3 = Q1";
  // Robust limits take the quartiles each their own way by size (within the median's sides,
  // or counted into buckets): the same as one by one, with ties and values far out.
  std::vector<int> sizes;
  for (int n = 1; n <= 64; ++n) sizes.push_back(n);
  for (const int n : {511, 512, 513, 1000, 5001}) sizes.push_back(n);
  for (const int n : sizes) {
    std::vector<double> values;
    for (int i = 0; i < n; ++i) values.push_back(std::round(noise(n, i, 9) * 20) / 4);
    if (n % 2 == 1 && n > 64) values[7] = 1e30;
    for (int i = 0; i < n && n > 64; ++i) {
      if (i % 5 != 0) values[i] = noise(n, i, 3) * (n == 1000 ? 1e-3 : 7);
    }
    std::vector<double> a = values, b = values, c = values;
    const bool spread = stdf::robustLimits(values, 6, limits);
    EXPECT_EQ(spread, limits.q3 > limits.q1);
    EXPECT_DOUBLE_EQ(limits.q1, stdf::quantileType7(a, 0.25)) << n;
    EXPECT_DOUBLE_EQ(limits.median, stdf::quantileType7(b, 0.5)) << n;
    EXPECT_DOUBLE_EQ(limits.q3, stdf::quantileType7(c, 0.75)) << n;
  }
  // The neighbours' median, for every window up to 5 x 5 and every number of them missing
  // (NaN, anywhere in the window), with repeated values.
  const float none = std::numeric_limits<float>::quiet_NaN();
  for (int n = 1; n <= 24; ++n) {
    for (int missing = 0; missing < n; ++missing) {
      std::vector<float> values;
      std::vector<double> present;
      for (int i = 0; i < n; ++i) {
        values.push_back(static_cast<float>(std::round(noise(n, i, 7) * 4)));
        if ((i * 7 + missing) % n < missing) {
          values.back() = none;
        } else {
          present.push_back(values.back());
        }
      }
      EXPECT_DOUBLE_EQ(stdf::medianOfNeighbours(values.data(), n),
                       stdf::quantileType7(present, 0.5))
          << n << " with " << missing << " missing";
    }
  }
}

// Each rule finds exactly its planted die or part, in the lot's final parts, whatever the rules
// file turns off or changes.
TEST(Pat, EachRuleFindsExactlyItsPlantedOutliers) {
  TempDir dir;
  const Lot lot = plantedLot();
  const std::vector<std::string> files = {dir.write("lot_a.stdf", lot.first),
                                          dir.write("lot_b.stdf", lot.second)};
  const std::string limits =
      dir.write("limits.json", R"({"tests": [{"number": 2, "low": 44, "high": 56}]})");
  using Found = std::set<std::tuple<std::string, std::string, std::string>>;  // rule, wafer, x,y|id
  const Found all = {{"static", "W1", "-2,3"}, {"dynamic", "W1", "4,1"}, {"nnr", "W2", "-5,2"},
                     {"gdbn", "W1", "-3,-3"},  {"zpat", "W3", "3,-4"},   {"dynamic", "", "P17"}};
  Found withoutLimits = all;
  withoutLimits.erase({"static", "W1", "-2,3"});
  withoutLimits.insert({"dynamic", "W1", "-2,3"});
  Found withoutZpat = all;
  withoutZpat.erase({"zpat", "W3", "3,-4"});
  const struct {
    const char* name;
    std::string rules;
    bool limits;
    Found expected;
  } cases[] = {
      {"every rule", "", true, all},
      {"no limits file: static off", "", false, withoutLimits},
      {"only gdbn",
       R"({"dynamic": {"enabled": false}, "nnr": {"enabled": false},
                        "zpat": {"enabled": false}})",
       true,
       {{"static", "W1", "-2,3"}, {"gdbn", "W1", "-3,-3"}}},
      {"zpat share 0.9", R"({"zpat": {"share": 0.9}})", true, withoutZpat},
      {"nnr in a 7 x 7 window", R"({"nnr": {"window": 7}})", true, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.path(std::string("out-") + std::to_string(&c - cases));
    std::vector<std::string> args = {"pat", "apply", files[0], files[1], "--out", out};
    if (c.limits) args.insert(args.end(), {"--limits", limits});
    if (!c.rules.empty()) args.insert(args.end(), {"--rules", dir.write("rules.json", c.rules)});
    std::string said, err;
    ASSERT_EQ(tool(args, said, err), 0) << err;
    const std::vector<std::string> rows = lines(slurp(out + "/outliers.csv"));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "part_id,site,wafer,x,y,rule,test_num,test_name,value,low,high");
    Found found;
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const std::vector<std::string> row = cells(rows[i]);
      ASSERT_EQ(row.size(), 11u) << rows[i];
      found.insert({row[5], row[2], row[2].empty() ? row[0] : row[3] + "," + row[4]});
      if (row[5] == "static") {
        EXPECT_EQ(std::vector<std::string>(row.begin() + 6, row.end()),
                  (std::vector<std::string>{"2", "T2", "58", "44", "56"}));
      }
    }
    EXPECT_EQ(found, c.expected);
  }
}

// The outputs of pat apply: re-binned copies whose bins, summaries and good counts follow the
// outliers, one DTR per outlier, and each wafer's E142 map with every die's bin.
TEST(Pat, ApplyRebinsCopiesAndMapsEveryDie) {
  TempDir dir;
  const Lot lot = plantedLot();
  const std::string first = dir.write("lot_a.stdf", lot.first);
  const std::string second = dir.write("lot_b.stdf", lot.second);
  const std::string limits =
      dir.write("limits.json", R"({"tests": [{"number": 2, "low": 44, "high": 56}]})");
  std::string said, err;
  ASSERT_EQ(tool({"pat", "apply", first, second, "--limits", limits, "--out", dir.path("out")},
                 said, err),
            0)
      << err;
  EXPECT_EQ(slurp(first), lot.first) << "the input is never touched";

  // The copy of the first file: its four outliers (static, dynamic, gdbn on W1; nnr on W2).
  const std::string copy = slurp(dir.path("out/lot_a.pat.stdf"));
  struct Summaries {
    std::map<int, std::uint64_t> hbr;
    std::map<std::string, std::uint64_t> waferGood;
    std::vector<std::string> dtrs;
    stdf::DatalogSummary figures;
  } before, after;
  for (auto [bytes, into] : {std::pair{&lot.first, &before}, std::pair{&copy, &after}}) {
    stdf::StdfReader reader(bytes->data(), bytes->size());
    for (stdf::Record r; reader.next(r);) {
      into->figures.add(r);
      if (r.is("HBR"))
        into->hbr[static_cast<int>(r.unsignedValue("HBIN_NUM"))] = r.unsignedValue("HBIN_CNT");
      if (r.is("WRR"))
        into->waferGood[std::string(r.textValue("WAFER_ID"))] = r.unsignedValue("GOOD_CNT");
      if (r.is("DTR")) into->dtrs.emplace_back(r.textValue("TEXT_DAT"));
    }
    ASSERT_EQ(reader.error(), nullptr);
  }
  ASSERT_EQ(after.dtrs.size(), 4u);
  EXPECT_EQ(
      std::count(after.dtrs.begin(), after.dtrs.end(),
                 "ate:pat rule=static test=2 name=T2 value=58 low=44 high=56 hbin=11 sbin=11"),
      1);
  EXPECT_EQ(after.figures.overall().parts, before.figures.overall().parts);
  EXPECT_EQ(after.figures.overall().good + 4, before.figures.overall().good);
  std::map<int, std::uint64_t> finalBins;
  for (const stdf::BinCount& b : after.figures.hardBins())
    finalBins[static_cast<int>(b.number)] = b.count;
  EXPECT_EQ(
      finalBins,
      (std::map<int, std::uint64_t>{
          {1, before.figures.overall().good - 4}, {3, 10}, {11, 1}, {12, 1}, {13, 1}, {14, 1}}));
  EXPECT_EQ(after.hbr, (std::map<int, std::uint64_t>{
                           {1, before.hbr[1] - 4}, {3, 10}, {11, 1}, {12, 1}, {13, 1}, {14, 1}}));
  EXPECT_EQ(before.waferGood["W1"] - after.waferGood["W1"], 3u);
  EXPECT_EQ(before.waferGood["W2"] - after.waferGood["W2"], 1u);

  // The E142 map of W1 read back: every die's final bin, the outliers' among them.
  stdf::LotCollector collected;
  stdf::StdfReader screened(copy.data(), copy.size());
  for (stdf::Record r; screened.next(r);) collected.add(r);
  collected.endFile("lot_a.pat.stdf");
  std::map<std::pair<int, int>, int> expected;
  const std::vector<stdf::MapWafer> maps = collected.wafers();
  ASSERT_EQ(maps.size(), 2u);
  for (const stdf::MapDie& die : maps[0].dies) expected[{die.x, die.y}] = die.hardBin;
  EXPECT_EQ(expected[std::make_pair(-3, -3)], 14);
#ifndef _WIN32
  ChildProcess::Options options;
  options.argv = {"/usr/bin/python3", "-c",
                  "import sys, xml.etree.ElementTree as t\n"
                  "ns = {'e': 'urn:semi-org:xsd.E142-1.V1005.SubstrateMap'}\n"
                  "r = t.parse(sys.argv[1]).getroot()\n"
                  "o = r.find('.//e:ReferenceDevice/e:Coordinates', ns)\n"
                  "x0, y0 = int(o.get('X')), int(o.get('Y'))\n"
                  "m = r.find('.//e:BinCodeMap', ns)\n"
                  "null = m.get('NullBin'); n = len(null)\n"
                  "for j, row in enumerate(m.findall('e:BinCode', ns)):\n"
                  "  for i in range(0, len(row.text), n):\n"
                  "    code = row.text[i:i + n]\n"
                  "    if code != null: print(x0 + i // n, y0 + j, int(code, 16))\n",
                  dir.path("out/W1.e142.xml")};
  ChildProcess python(options);
  std::map<std::pair<int, int>, int> parsed;
  for (const std::string& line : python.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT)) {
    int x = 0, y = 0, bin = 0;
    std::istringstream(line) >> x >> y >> bin;
    parsed[{x, y}] = bin;
  }
  EXPECT_EQ(python.wait(TEST_TIMEOUT), std::optional<int>(0));
  for (const auto& [xy, bin] : expected) {
    EXPECT_EQ(parsed[xy], bin) << xy.first << "," << xy.second;
  }
  EXPECT_EQ(parsed.size(), expected.size());
#endif
  const std::string report = slurp(dir.path("out/report.html"));
  EXPECT_NE(report.find("<tr data-rule=\"gdbn\"><td>gdbn</td><td class=\"num\">14</td><td "
                        "class=\"num\">1</td>"),
            std::string::npos);
  EXPECT_NE(report.find("data-rule=\"gdbn\"><title>outlier"), std::string::npos)
      << "the die outlined on its map";
}

TEST(Pat, LimitsComeFromGoodFinalPartsAndSayWhatTheyLeaveOut) {
  TempDir dir;
  const Lot lot = plantedLot();
  std::string said, err;
  ASSERT_EQ(tool({"pat", "limits", dir.write("a.stdf", lot.first), dir.write("b.stdf", lot.second),
                  "--out", dir.path("limits.json")},
                 said, err),
            0)
      << err;
  const std::string json = slurp(dir.path("limits.json"));
  stdf::PatLimitTable table;
  std::string error;
  ASSERT_TRUE(stdf::parsePatLimits(json, table, error)) << error;
  EXPECT_EQ(table.size(), 3u) << json;
  EXPECT_EQ(table[3], std::make_pair(49.0, 51.0)) << "clipped to the test limits";
  EXPECT_NE(json.find("\"why\": \"Q3 equals Q1: no spread to judge by\""), std::string::npos);
  EXPECT_NE(json.find("\"why\": \"fewer than 30 values from good parts\""), std::string::npos);
  EXPECT_NE(said.find("limits of 3 tests, 2 left out"), std::string::npos) << said;
#ifndef _WIN32
  // The limits file and the default rules hold to their schemas.
  ASSERT_EQ(tool({"pat", "rules"}, said, err), 0);
  for (const auto& [file, schema] : {std::pair{dir.path("limits.json"), "pat-limits"},
                                     std::pair{dir.write("rules.json", said), "pat-rules"}}) {
    ChildProcess::Options options;
    options.argv = {
        "/usr/bin/python3", "-c",
        "import json, sys, jsonschema\n"
        "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))",
        file, std::string(ATE_SCHEMAS_DIR) + "/" + schema + ".schema.json"};
    ChildProcess python(options);
    EXPECT_EQ(python.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT),
              std::vector<std::string>{});
    EXPECT_EQ(python.wait(TEST_TIMEOUT), std::optional<int>(0)) << schema;
  }
#endif

  // What the tool refuses, with its status.
  const std::string cut = dir.write("cut.stdf", lot.first.substr(0, lot.first.size() - 40));
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } refused[] = {
      {{"pat", "apply", cut, "--out", dir.path("x")}, 1, "outlier screening reads whole files"},
      {{"pat", "apply", dir.path("a.stdf"), "--rules",
        dir.write("r.json", "{\"nnr\": {\"window\": 4}}"), "--out", dir.path("x")},
       2,
       "nnr.window: not an odd number"},
      {{"pat", "limits", dir.path("a.stdf"), "--k", "zero", "--out", dir.path("l")},
       2,
       "--k takes"},
      {{"pat", "apply", dir.path("a.stdf")}, 2, "usage:"},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(tool(r.args, said, err), r.status) << r.says;
    EXPECT_NE(err.find(r.says), std::string::npos) << err;
  }
}

}  // namespace
