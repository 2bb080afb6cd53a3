// Text reports of datalog figures, as `ate-datalog summary` prints them.
#ifndef ATE_STDF_DATALOGREPORT_H_
#define ATE_STDF_DATALOGREPORT_H_

#include <iosfwd>
#include <string>

#include "stdf/DatalogSummary.h"

namespace stdf {

// Writes the summary as aligned tables: parts, good parts and yield per site and overall; hard
// and soft bins (number, name, P/F, count, percent of all parts); per test (number, name, unit,
// limits, count, fails, min, max, mean, sd, Cpk; "-" where there is none); the last part of
// each site. Numbers print with up to 6 significant digits.
void writeSummary(const DatalogSummary& summary, std::ostream& out);

// A value as short as it reads back: for R4 values (single = true) the shortest text that reads
// back as the same float, e.g. 1.1 rather than 1.10000002.
std::string formatNumber(double value, bool single);

}  // namespace stdf

#endif  // ATE_STDF_DATALOGREPORT_H_
