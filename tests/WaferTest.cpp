// Wafers read back from STDF: a small known wafer, with a die re-probed without the retest flag
// and a part retested by its id, through the summary's final counts, the text map and the SVG.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "host/ChildProcess.h"
#include "stdf/DatalogSummary.h"
#include "stdf/LotData.h"
#include "stdf/LotReport.h"
#include "stdf/StdfReader.h"
#include "stdf/WaferMap.h"
#include "tests/support/DriverSession.h"
#include "tests/support/StdfEncoder.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace stdftest;

std::string prrAt(int site, int flags, int bin, int x, int y, const std::string& id) {
  Fields data(false);
  data.u1(1).u1(site).u1(flags).u2(1).u2(bin).u2(bin).i2(x).i2(y);
  return record(5, 20, data.u4(0).cn(id));
}

// A wafer of five dies on two sites, in a tester's file: the die at 1,0 probed twice (failing,
// then passing) with no flag set, and after the wafer a part without X,Y retested by its id.
std::string testerFile() {
  std::string file = far(false);
  file += record(1, 10,
                 Fields(false)
                     .u4(0)
                     .u4(0)
                     .u1(1)
                     .c1('P')
                     .c1(' ')
                     .c1(' ')
                     .u2(65535)
                     .c1(' ')
                     .cn("LOT9")
                     .cn("CHIP")
                     .cn("node")
                     .cn("T")
                     .cn("job"));
  file += record(2, 10, Fields(false).u1(1).u1(255).u4(0).cn("W1"));
  const struct {
    int site, bin, x, y;
  } dies[] = {{1, 1, 0, 0}, {2, 7, 1, 0}, {1, 1, 0, 1}, {2, 1, 1, 1}, {1, 1, 2, 1}, {2, 1, 1, 0}};
  int id = 0;
  for (const auto& die : dies) {
    file += pir(false, die.site);
    file += prrAt(die.site, die.bin == 1 ? 0 : 0x08, die.bin, die.x, die.y, std::to_string(++id));
  }
  file += record(2, 20, Fields(false).u1(1).u1(255).u4(0).u4(6).u4(1).u4(0).u4(5).u4(6).cn("W1"));
  file += pir(false, 1) + prrAt(1, 0x08, 3, -32768, -32768, "P1");
  file += pir(false, 1) + prrAt(1, 0x01, 1, -32768, -32768, "P1");  // a retest of part P1
  file += pir(false, 2) + prrAt(2, 0x00, 1, -32768, -32768, "P2");
  return file + record(1, 20, Fields(false).u4(0).c1(' ').cn("").cn(""));
}

template <typename Sink>
void feed(const std::string& bytes, Sink& sink) {
  stdf::StdfReader reader(bytes.data(), bytes.size());
  for (stdf::Record record; reader.next(record);) sink.add(record);
  ASSERT_EQ(reader.error(), nullptr);
}

TEST(Wafer, EachDieCountsOnceAndMapsAsItLastTested) {
  const std::string bytes = testerFile();
  stdf::DatalogSummary final, every(true);
  feed(bytes, final);
  feed(bytes, every);
  // 5 dies and 2 parts finally, 1 good die lost to no retest: 6 of 7 good.
  EXPECT_EQ(final.overall().parts, 7u);
  EXPECT_EQ(final.overall().good, 7u);
  EXPECT_EQ(final.tested(), 9u);
  EXPECT_EQ(final.superseded(), 2u);
  EXPECT_EQ(every.overall().parts, 9u);
  EXPECT_EQ(every.overall().good, 7u);
  const std::vector<stdf::BinCount> bins = final.hardBins();
  ASSERT_EQ(bins.size(), 1u) << "bins 7 and 3 hold only parts tested again";
  EXPECT_EQ(bins[0].count, 7u);

  stdf::LotCollector lot;
  feed(bytes, lot);
  lot.endFile("tester.stdf");
  const std::vector<stdf::MapWafer> wafers = lot.wafers();
  ASSERT_EQ(wafers.size(), 1u);
  EXPECT_EQ(stdf::textMap(wafers[0], stdf::MapBy::bin),
            "wafer W1: 5 dies, 5 good (100.0%), 6 parts tested, 1 retests\n"
            "X 0 to 2 left to right, Y 0 to 1 top to bottom\n"
            "11.\n"
            "111\n"
            "  1 bin 1: 5 dies, good\n");
  EXPECT_EQ(stdf::textMap(wafers[0], stdf::MapBy::site),
            "wafer W1: 5 dies, 5 good (100.0%), 6 parts tested, 1 retests\n"
            "X 0 to 2 left to right, Y 0 to 1 top to bottom\n"
            "12.\n"
            "121\n"
            "  1 site 1: 3 dies\n"
            "  2 site 2: 2 dies\n");

  // The SVG: well-formed XML (read by Python's parser), one element per die carrying its final
  // bin and site.
  const std::string svg = stdf::svgMap(wafers[0], stdf::MapBy::bin);
  const std::regex die(
      "data-x=\"(-?\\d+)\" data-y=\"(-?\\d+)\" data-bin=\"(\\d+)\" data-site=\"(\\d+)\"");
  std::map<std::pair<int, int>, std::pair<int, int>> drawn;
  for (std::sregex_iterator at(svg.begin(), svg.end(), die), end; at != end; ++at) {
    drawn[{std::stoi((*at)[1]), std::stoi((*at)[2])}] = {std::stoi((*at)[3]), std::stoi((*at)[4])};
  }
  EXPECT_EQ(drawn, (std::map<std::pair<int, int>, std::pair<int, int>>{{{0, 0}, {1, 1}},
                                                                       {{1, 0}, {1, 2}},
                                                                       {{0, 1}, {1, 1}},
                                                                       {{1, 1}, {1, 2}},
                                                                       {{2, 1}, {1, 1}}}));
#ifndef _WIN32
  TempDir dir;
  ChildProcess::Options options;
  options.argv = {"/usr/bin/python3", "-c",
                  "import sys, xml.etree.ElementTree as t; r = t.parse(sys.argv[1]).getroot(); "
                  "print(sum(1 for e in r.iter() if 'data-x' in e.attrib))",
                  dir.write("w1.svg", svg)};
  ChildProcess python(options);
  EXPECT_EQ(python.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT),
            std::vector<std::string>{"5"});
  EXPECT_EQ(python.wait(TEST_TIMEOUT), std::optional<int>(0));
#endif
}

// Testers may leave an HBR's pass or fail blank (a space or a NUL, which the format allows): the
// report takes it from the bin's parts then, as the summary and the map do, and says so.
TEST(Wafer, BinsWhoseRecordsLeavePassOrFailBlankTakeItFromTheirParts) {
  std::string bytes = testerFile();
  const std::string mrr = record(1, 20, Fields(false).u4(0).c1(' ').cn("").cn(""));
  bytes.resize(bytes.size() - mrr.size());
  for (const char pf : {' ', '\0'}) {
    stdf::LotCollector lot;
    feed(bytes + bin(false, true, 255, 0, 1, 7, pf, "GOOD") +
             bin(false, true, 255, 0, 3, 1, 'F', "OPEN") + mrr,
         lot);
    lot.endFile("tester.stdf");
    const stdf::LotReportData report = lot.report();
    std::map<int, std::pair<bool, bool>> bins;  // good, derived
    for (const stdf::ReportBin& b : report.bins) bins[b.number] = {b.good, b.derived};
    EXPECT_EQ(bins[1], std::make_pair(true, true)) << int(pf);
    EXPECT_EQ(bins[3], std::make_pair(false, false)) << int(pf);
    const std::string html = stdf::reportHtml(report);
    EXPECT_NE(html.find("GOOD</td><td>P <small"), std::string::npos) << int(pf);
    EXPECT_NE(html.find("fill=\"#2e9d48\" data-bin=\"1\""), std::string::npos) << "a green bar";
  }
}

}  // namespace
