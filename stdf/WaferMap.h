// Wafer maps: the dies of a wafer drawn by their final bin (or site), as text for a terminal and
// as SVG for people and tools. Each die is one SVG element carrying data-x, data-y, data-bin and
// data-site, so that a map can be read back.
#ifndef ATE_STDF_WAFERMAP_H_
#define ATE_STDF_WAFERMAP_H_

#include <map>
#include <string>
#include <vector>

namespace stdf {

// One die with its final result: the last part tested at its X,Y.
struct MapDie {
  int x = 0;
  int y = 0;
  int hardBin = 0;
  int site = 0;
  std::string partId;
  bool passed = false;
  int tests = 1;        // how often the die was tested
  std::string outlier;  // the outlier screening rule that binned it out; empty: none
};

struct MapWafer {
  std::string id;
  std::vector<MapDie> dies;  // one per X,Y
  long parts = 0;            // every part tested on it, retests included
  long retests = 0;          // parts that tested a die again
  long good() const;         // dies whose final result passed
};

enum class MapBy { bin, site };

// The text map: a heading (wafer id, dies, good, yield, parts, retests), then one row per Y from
// the smallest down, one character per X from the smallest: the die's bin (or site) in base 36
// when all fit in one digit, else a letter of a legend that follows; '.' where no die is.
std::string textMap(const MapWafer& wafer, MapBy by);

// The SVG map: a title with the same figures, the dies as <rect> elements and a legend of the
// bins (or sites) with their counts.
std::string svgMap(const MapWafer& wafer, MapBy by);

// The colour of a bin on every map: good bins (those whose dies passed) green, failing bins
// each a colour of their own from a fixed palette, by their order among the failing bins.
std::string binColour(int bin, bool good, int failingIndex);

// The smallest and largest X and Y of a wafer's dies (a wafer without dies: INT_MAX, INT_MIN).
struct MapExtent {
  int minX, maxX, minY, maxY;
};
MapExtent mapExtent(const MapWafer& wafer);

// What a map shows for a die: its bin or its site.
int mapValue(const MapDie& die, MapBy by);

// Text for XML: & < > " escaped.
std::string xmlEscape(const std::string& text);

}  // namespace stdf

#endif  // ATE_STDF_WAFERMAP_H_
