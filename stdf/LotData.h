// What ate-datalog's map and report draw of a lot, read from its datalogs in order: the wafers
// with each die's final result, the lot's identity, its final counts (through DatalogSummary, so
// that a die tested again counts once) and a sample of every test's values.
#ifndef ATE_STDF_LOTDATA_H_
#define ATE_STDF_LOTDATA_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stdf/DatalogSummary.h"
#include "stdf/LotReport.h"
#include "stdf/StdfReader.h"
#include "stdf/WaferMap.h"

namespace stdf {

class LotCollector {
 public:
  // Records of one file, in file order.
  void add(const Record& record);
  // A PTR read in place (readPtr), instead of add.
  void addPtr(const PtrFields& ptr);
  // After the records of the file at path.
  void endFile(const std::string& path);

  // The wafers in the order their first WIR came; a die's result is its last part's. Dies
  // without coordinates are on no map.
  std::vector<MapWafer> wafers() const;
  LotReportData report() const;

 private:
  struct Wafer {
    MapWafer map;
    std::map<std::pair<int, int>, std::size_t> dies;  // X,Y -> index in map.dies
  };

  DatalogSummary summary_;
  std::vector<Wafer> wafers_;
  std::map<std::string, std::size_t> waferIndex_;
  std::optional<std::size_t> current_;  // between a WIR and its WRR
  std::map<std::uint32_t, ReportTest> values_;
  std::vector<std::pair<std::string, std::string>> identity_;
  std::vector<std::string> files_;
  std::uint64_t random_ = 0x9e3779b97f4a7c15ull;
  std::vector<ReportTest*> byNumber_;  // values_'s entries by test number, below 65536

  void sample(const PtrFields& ptr);
};

}  // namespace stdf

#endif  // ATE_STDF_LOTDATA_H_
