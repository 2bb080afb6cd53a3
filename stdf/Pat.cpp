#include "stdf/Pat.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <tuple>
#include <utility>

#include "stdf/Supersede.h"

namespace stdf {

namespace {

constexpr double NONE = std::numeric_limits<double>::quiet_NaN();

const char* const RULE_NAMES[PAT_RULES] = {"static", "dynamic", "nnr", "gdbn", "zpat"};

// Neighbours' medians for the 5 x 5 window (and smaller ones): up to 24 neighbours, sorted by
// Batcher's odd-even merge sort four dies at once (each a lane), with no branch on the values; a
// sort's branches mispredict half the time on such data. A lane with fewer neighbours is padded
// with as many values below all as above all (one more above for an odd count), which leaves
// its median in the middle slots: slot 11 for an odd count, the mean of 11 and 12 for an even.
constexpr int SLOTS = 24;
constexpr int NETWORK_OF = 32;  // Batcher's network is made for a power of two
constexpr int LANES = 4;
constexpr int LOW_MIDDLE = SLOTS / 2 - 1;

struct Comparator {
  int a = 0, b = 0;
};

// Calls each comparator of Batcher's network of NETWORK_OF values that sorts the first SLOTS:
// the others only meet values above all, which they leave where they are.
template <typename Visit>
constexpr void batcher(Visit visit) {
  for (int p = 1; p < NETWORK_OF; p <<= 1) {
    for (int k = p; k >= 1; k >>= 1) {
      for (int j = k % p; j + k < NETWORK_OF; j += 2 * k) {
        for (int i = 0; i < k && i < NETWORK_OF - j - k; ++i) {
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < SLOTS) {
            visit(Comparator{i + j, i + j + k});
          }
        }
      }
    }
  }
}

constexpr int networkSize() {
  int size = 0;
  batcher([&size](Comparator) { ++size; });
  return size;
}

struct Network {
  Comparator comparators[networkSize()];
};

constexpr Network sortingNetwork() {
  Network network{};
  int at = 0;
  batcher([&](Comparator c) { network.comparators[at++] = c; });
  return network;
}

constexpr Network NETWORK = sortingNetwork();

// The network unrolled, each comparator's slots known when compiled, so that they stay in
// registers where they can (and the compiler drops what the middle slots don't depend on).
template <std::size_t... I>
void sortSlots(__m128 (&slot)[SLOTS], std::index_sequence<I...>) {
  const auto compare = [&slot](int a, int b) {
    const __m128 x = slot[a];
    slot[a] = _mm_min_ps(x, slot[b]);
    slot[b] = _mm_max_ps(x, slot[b]);
  };
  (compare(NETWORK.comparators[I].a, NETWORK.comparators[I].b), ...);
}

// The lanes' medians from their padded slots; odd: the lanes whose count is odd.
void middleOf(__m128 (&slot)[SLOTS], const bool (&odd)[LANES], double (&median)[LANES]) {
  sortSlots(slot, std::make_index_sequence<networkSize()>());
  float low[LANES], high[LANES];
  _mm_storeu_ps(low, slot[LOW_MIDDLE]);
  _mm_storeu_ps(high, slot[LOW_MIDDLE + 1]);
  for (int lane = 0; lane < LANES; ++lane) {
    const double middle = low[lane];
    median[lane] = odd[lane] ? middle : 0.5 * (middle + static_cast<double>(high[lane]));
  }
}

// The slots of four dies side by side (lanes): each one's neighbours at + offsets[s] + lane (NaN
// where there is none). A missing neighbour becomes a value above all or below all in turn
// (above first), and so do the slots past the window, so that each lane's median ends in the
// middle slots. count: each lane's neighbours.
void neighbourSlots(const float* at, const std::vector<std::ptrdiff_t>& offsets,
                    __m128 (&slot)[SLOTS], std::size_t (&count)[LANES], bool (&odd)[LANES]) {
  const __m128 sign = _mm_set1_ps(-0.0f);
  __m128 fill = _mm_set1_ps(std::numeric_limits<float>::infinity());
  __m128i missing = _mm_setzero_si128();
  std::size_t s = 0;
  for (; s < offsets.size(); ++s) {
    const __m128 next = _mm_loadu_ps(at + offsets[s]);
    const __m128 none = _mm_cmpunord_ps(next, next);
    slot[s] = _mm_or_ps(_mm_andnot_ps(none, next), _mm_and_ps(none, fill));
    fill = _mm_xor_ps(fill, _mm_and_ps(none, sign));
    missing = _mm_sub_epi32(missing, _mm_castps_si128(none));
  }
  for (; s < static_cast<std::size_t>(SLOTS); ++s) {
    slot[s] = fill;
    fill = _mm_xor_ps(fill, sign);
  }
  alignas(16) std::int32_t gone[LANES];
  _mm_store_si128(reinterpret_cast<__m128i*>(gone), missing);
  for (int lane = 0; lane < LANES; ++lane) {
    count[lane] = offsets.size() - static_cast<std::size_t>(gone[lane]);
    odd[lane] = count[lane] % 2 == 1;
  }
}

// The same for any count (a window larger than 5 x 5).
double medianOfMany(std::vector<double>& values) { return quantileType7(values, 0.5); }

}  // namespace

double medianOfNeighbours(const float* values, int n) {
  // One die (lane 0) among three without neighbours.
  float lanes[SLOTS * LANES];
  std::fill(std::begin(lanes), std::end(lanes), std::numeric_limits<float>::quiet_NaN());
  std::vector<std::ptrdiff_t> offsets;
  for (int i = 0; i < n; ++i) {
    lanes[i * LANES] = values[i];
    offsets.push_back(i * LANES);
  }
  __m128 slot[SLOTS];
  std::size_t count[LANES];
  bool odd[LANES];
  double median[LANES];
  neighbourSlots(lanes, offsets, slot, count, odd);
  if (count[0] == 0) return std::numeric_limits<double>::quiet_NaN();
  middleOf(slot, odd, median);
  return median[0];
}

const char* patRuleName(PatRule rule) { return RULE_NAMES[static_cast<std::size_t>(rule)]; }

namespace {

// The quantile p of the values in [first, last), whose ranks in the whole run from base: ranks
// outside [first, last) were partitioned away before (all below first's, all above last's).
// above is the least value past last, when the rank after the one wanted lies there.
double quantileWithin(std::vector<double>& values, std::size_t first, std::size_t last, double p,
                      std::optional<double> above) {
  const std::size_t n = values.size();
  const double h = static_cast<double>(n - 1) * p;
  const auto lo = static_cast<std::size_t>(std::floor(h));
  const auto begin = values.begin();
  std::nth_element(begin + static_cast<std::ptrdiff_t>(first),
                   begin + static_cast<std::ptrdiff_t>(lo),
                   begin + static_cast<std::ptrdiff_t>(last));
  const double below = values[lo];
  if (lo + 1 >= n || h == static_cast<double>(lo)) return below;
  // After nth_element every value past lo is at least values[lo]: the next rank is their least.
  const double next = lo + 1 < last ? *std::min_element(begin + static_cast<std::ptrdiff_t>(lo) + 1,
                                                        begin + static_cast<std::ptrdiff_t>(last))
                                    : *above;
  return below + (h - static_cast<double>(lo)) * (next - below);
}

}  // namespace

double quantileType7(std::vector<double>& values, double p) {
  return quantileWithin(values, 0, values.size(), p, std::nullopt);
}

namespace {

// The values at the given ranks (0-based, ascending) of many values, without ordering them all:
// each value is counted into one of equal-width buckets between the least and the greatest
// (which keeps their order between buckets), and only the buckets that hold a wanted rank are
// ordered (one bucket may hold most of them when a few values lie very far out: then it is
// about the work of ordering them plainly).
template <std::size_t N>
void valuesAtRanks(const std::vector<double>& values, const std::size_t (&ranks)[N],
                   double (&found)[N]) {
  const auto [least, greatest] = std::minmax_element(values.begin(), values.end());
  const double low = *least, spread = *greatest - *least;
  if (!(spread > 0) || !std::isfinite(spread)) {
    // All alike (or too far apart to count by width): ordered the plain way.
    std::vector<double> copy = values;
    for (std::size_t r = 0; r < N; ++r) {
      std::nth_element(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(ranks[r]),
                       copy.end());
      found[r] = copy[ranks[r]];
    }
    return;
  }
  constexpr std::size_t BUCKETS = 2048;
  const double scale = static_cast<double>(BUCKETS) / spread;
  const auto bucketOf = [&](double value) {
    return std::min(BUCKETS - 1, static_cast<std::size_t>((value - low) * scale));
  };
  std::vector<std::uint32_t> first(BUCKETS + 1, 0);  // counts, then each bucket's first rank
  for (const double value : values) ++first[bucketOf(value) + 1];
  for (std::size_t b = 1; b <= BUCKETS; ++b) first[b] += first[b - 1];
  // The buckets holding the ranks, each one's values gathered and ordered once.
  std::size_t bucket[N];
  std::vector<std::size_t> wanted;
  for (std::size_t r = 0; r < N; ++r) {
    bucket[r] = static_cast<std::size_t>(
        std::upper_bound(first.begin(), first.end(), static_cast<std::uint32_t>(ranks[r])) -
        first.begin() - 1);
    if (std::find(wanted.begin(), wanted.end(), bucket[r]) == wanted.end()) {
      wanted.push_back(bucket[r]);
    }
  }
  std::vector<std::vector<double>> gathered(wanted.size());
  std::vector<std::int32_t> slotOf(BUCKETS, -1);
  for (std::size_t w = 0; w < wanted.size(); ++w) {
    slotOf[wanted[w]] = static_cast<std::int32_t>(w);
    gathered[w].reserve(first[wanted[w] + 1] - first[wanted[w]]);
  }
  for (const double value : values) {
    const std::int32_t slot = slotOf[bucketOf(value)];
    if (slot >= 0) gathered[static_cast<std::size_t>(slot)].push_back(value);
  }
  for (std::size_t r = 0; r < N; ++r) {
    std::vector<double>& run = gathered[static_cast<std::size_t>(slotOf[bucket[r]])];
    const std::size_t at = ranks[r] - first[bucket[r]];
    std::nth_element(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(at), run.end());
    found[r] = run[at];
  }
}

// Type 7's interpolation between the values at ranks floor(h) and the one after.
double between(double below, double next, double h) {
  return below + (h - std::floor(h)) * (next - below);
}

}  // namespace

bool robustLimits(std::vector<double>& values, double k, RobustLimits& out) {
  out = RobustLimits();
  out.values = values.size();
  if (values.empty()) return false;
  const std::size_t n = values.size();
  if (n < 8) {
    out.q1 = quantileType7(values, 0.25);
    out.median = quantileType7(values, 0.5);
    out.q3 = quantileType7(values, 0.75);
  } else if (n < 512) {
    // The median first; then each quartile within its own side of it (their ranks lie strictly
    // on either side from 8 values on), a quarter of the work each.
    out.median = quantileType7(values, 0.5);
    const auto middle = static_cast<std::size_t>(std::floor(static_cast<double>(n - 1) * 0.5));
    out.q1 = quantileWithin(values, 0, middle, 0.25, values[middle]);
    out.q3 = quantileWithin(values, middle + 1, n, 0.75, std::nullopt);
  } else {
    // Many values: the six ranks the three quantiles lie between, at once.
    const double h[3] = {static_cast<double>(n - 1) * 0.25, static_cast<double>(n - 1) * 0.5,
                         static_cast<double>(n - 1) * 0.75};
    std::size_t ranks[6];
    for (int q = 0; q < 3; ++q) {
      ranks[2 * q] = static_cast<std::size_t>(std::floor(h[q]));
      ranks[2 * q + 1] = std::min(n - 1, ranks[2 * q] + 1);
    }
    double at[6];
    valuesAtRanks(values, ranks, at);
    out.q1 = between(at[0], at[1], h[0]);
    out.median = between(at[2], at[3], h[1]);
    out.q3 = between(at[4], at[5], h[2]);
  }
  out.sigma = (out.q3 - out.q1) / 1.35;
  out.low = out.median - k * out.sigma;
  out.high = out.median + k * out.sigma;
  return out.q3 > out.q1;
}

void PatLot::clipToTestLimits(const Test& test, RobustLimits& limits) {
  if (test.testLow && limits.low < *test.testLow) limits.low = *test.testLow;
  if (test.testHigh && limits.high > *test.testHigh) limits.high = *test.testHigh;
}

// ----- reading

std::uint32_t PatLot::testIndex(std::uint32_t number) {
  // Test numbers below 65536 (nearly all) through a flat table.
  if (number < 65536) {
    if (testSlot_.size() <= number) testSlot_.resize(number + 1, -1);
    if (testSlot_[number] >= 0) return static_cast<std::uint32_t>(testSlot_[number]);
    testSlot_[number] = static_cast<std::int32_t>(tests_.size());
    tests_.emplace_back();
    tests_.back().number = number;
    return static_cast<std::uint32_t>(testSlot_[number]);
  }
  const auto [found, added] = testIndex_.emplace(number, static_cast<std::uint32_t>(tests_.size()));
  if (added) {
    tests_.emplace_back();
    tests_.back().number = number;
  }
  return found->second;
}

bool PatLot::read(const std::string& path, std::string& error, LotCollector* collector) {
  // The file whole in memory (one at a time): read at once, and framed without copying.
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary | std::ios::ate);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<std::size_t>(in.gcount()) != bytes.size()) {
    error = "cannot read " + path;
    return false;
  }
  // The report's figures from the records that aren't PTRs, on a thread of their own meanwhile.
  std::thread reporting;
  if (collector) {
    reporting = std::thread([&bytes, collector, &path] {
      StdfReader all(bytes.data(), bytes.size());
      RawRecord raw;
      Record record;
      while (all.nextRaw(raw)) {
        if (RecordType{raw.type, raw.sub} == PTR_RECORD) continue;
        if (!all.decode(raw, record)) break;
        collector->add(record);
      }
      collector->endFile(path);
    });
  }
  struct Joined {
    std::thread& thread;
    ~Joined() {
      if (thread.joinable()) thread.join();
    }
  } joined{reporting};
  StdfReader reader(bytes.data(), bytes.size());
  const auto fileIndex = static_cast<std::uint32_t>(files_.size());
  files_.emplace_back();
  files_.back().path = path;
  // The values of the parts open at once, by head and site (headSiteKey: 16 bits).
  std::vector<std::vector<std::pair<std::uint32_t, double>>> openParts;
  std::vector<std::int32_t> slotOf(1u << 16, -1);
  const auto open = [&](std::uint32_t key) -> std::vector<std::pair<std::uint32_t, double>>& {
    std::int32_t& slot = slotOf[key & 0xffff];
    if (slot < 0) {
      slot = static_cast<std::int32_t>(openParts.size());
      openParts.emplace_back();
    }
    return openParts[static_cast<std::size_t>(slot)];
  };
  std::vector<bool> named(tests_.size(), false);
  RawRecord raw;
  Record record;
  PtrFields ptr;
  int wafer = -1;
  bool ended = false;
  std::uint32_t lastNumber = 0, lastIndex = std::numeric_limits<std::uint32_t>::max();
  while (reader.nextRaw(raw)) {
    ended = false;
    const RecordType type{raw.type, raw.sub};
    if (type == PTR_RECORD && readPtr(raw.data, raw.length, reader.byteOrder(), ptr)) {
      if (ptr.present <= field::TEST_SITE_NUM) continue;
      if (ptr.testNumber != lastNumber || lastIndex == std::numeric_limits<std::uint32_t>::max()) {
        lastIndex = testIndex(ptr.testNumber);
        lastNumber = ptr.testNumber;
        if (named.size() < tests_.size()) named.resize(tests_.size(), false);
      }
      if (!named[lastIndex] && ptr.present > field::PTR_OPT_FLAG) {
        // The test's first PTR with limits names it.
        named[lastIndex] = true;
        Test& test = tests_[lastIndex];
        if (ptr.present > field::PTR_TEST_TXT) test.name = ptr.text;
        if (ptr.present > field::PTR_UNITS) test.unit = ptr.units;
        const auto limit = [&](std::optional<double>& value, std::size_t at, double given,
                               std::uint64_t none, std::uint64_t useDefault) {
          if (!(ptr.optFlag & (none | useDefault)) && ptr.present > at) value = given;
        };
        limit(test.testLow, field::PTR_LO_LIMIT, ptr.lowLimit, flag::OPT_NO_LOW_LIMIT,
              flag::OPT_LOW_LIMIT_DEFAULT);
        limit(test.testHigh, field::PTR_HI_LIMIT, ptr.highLimit, flag::OPT_NO_HIGH_LIMIT,
              flag::OPT_HIGH_LIMIT_DEFAULT);
      } else if (tests_[lastIndex].name.empty() && ptr.present > field::PTR_TEST_TXT) {
        tests_[lastIndex].name = ptr.text;
      }
      // Executions and fails as summary counts them.
      const std::uint8_t flags = ptr.present > field::TEST_FLG ? ptr.testFlags : 0;
      if (!(flags & flag::TEST_NOT_EXECUTED)) {
        Test& test = tests_[lastIndex];
        ++test.executions;
        if ((flags & flag::TEST_FAILED) && !(flags & flag::TEST_NO_PASS_FAIL)) ++test.fails;
      }
      if (ptr.present <= field::PTR_RESULT ||
          (ptr.testFlags & (flag::TEST_NOT_EXECUTED | flag::TEST_RESULT_INVALID)) ||
          !std::isfinite(ptr.result)) {
        continue;
      }
      open(headSiteKey(ptr.head, ptr.site)).emplace_back(lastIndex, ptr.result);
      continue;
    }
    if (type != PIR_RECORD && type != PRR_RECORD && type != WIR_RECORD && type != WRR_RECORD &&
        type != MIR_RECORD && type != MRR_RECORD && type != PTR_RECORD) {
      continue;
    }
    if (!reader.decode(raw, record)) break;
    if (record.is("PIR")) {
      open(headSiteKey(record, field::PIR_HEAD_NUM)).clear();
    } else if (record.is("PRR")) {
      const auto at = [&](std::size_t i) {
        return record.fields.size() > i ? record.fields[i].u : std::uint64_t{0};
      };
      Part part;
      part.file = fileIndex;
      part.prrOffset = record.offset;
      part.head = static_cast<std::uint8_t>(at(field::PRR_HEAD_NUM));
      part.site = static_cast<std::uint8_t>(at(field::PRR_SITE_NUM));
      const std::uint64_t flags = at(field::PRR_PART_FLG);
      part.good = record.fields.size() > field::PRR_PART_FLG && !(flags & flag::PART_NOT_GOOD);
      part.hardBin = static_cast<std::uint16_t>(at(field::PRR_HARD_BIN));
      part.softBin = static_cast<std::uint16_t>(at(field::PRR_SOFT_BIN));
      if (record.fields.size() > field::PRR_PART_ID) {
        part.partId = record.fields[field::PRR_PART_ID].text;
      }
      PartIdentity identity;
      identity.head = part.head;
      identity.partId = part.partId;
      identity.partFlag = static_cast<std::uint8_t>(flags);
      // By position: the PRR's fields come by the thousand.
      const auto coordinate = [&](std::size_t at) {
        return record.fields.size() > at ? record.fields[at].i : std::int64_t{-32768};
      };
      const std::int64_t x = coordinate(field::PRR_X_COORD);
      const std::int64_t y = coordinate(field::PRR_Y_COORD);
      if (wafer >= 0) {
        identity.onWafer = true;
        identity.wafer = wafers_[static_cast<std::size_t>(wafer)].id;
        if (x != -32768 && y != -32768) {
          identity.xy = std::make_pair(static_cast<int>(x), static_cast<int>(y));
          part.wafer = wafer;
          part.x = static_cast<int>(x);
          part.y = static_cast<int>(y);
        }
      }
      if (const auto earlier = supersede_.add(parts_.size(), identity)) {
        parts_[*earlier].final = false;
      }
      auto& values = open(headSiteKey(part.head, part.site));
      part.valuesBegin = static_cast<std::uint32_t>(values_.size());
      for (const auto& [test, value] : values) {
        valueTests_.push_back(test);
        values_.push_back(value);
      }
      part.valuesEnd = static_cast<std::uint32_t>(values_.size());
      values.clear();
      ++files_[fileIndex].parts;
      if (part.good) ++files_[fileIndex].good;
      parts_.push_back(std::move(part));
    } else if (record.is("WIR")) {
      const auto head = static_cast<std::uint8_t>(record.unsignedValue("HEAD_NUM", 1));
      const std::string id(record.textValue("WAFER_ID"));
      const auto [found, added] =
          waferIndex_.emplace(std::make_pair(head, id), static_cast<int>(wafers_.size()));
      if (added) wafers_.push_back({id, head});
      wafer = found->second;
    } else if (record.is("WRR")) {
      wafer = -1;
    } else if (record.is("MIR")) {
      files_[fileIndex].lotId = std::string(record.textValue("LOT_ID"));
      files_[fileIndex].partType = std::string(record.textValue("PART_TYP"));
    } else if (record.is("MRR")) {
      ended = true;
    }
  }
  files_[fileIndex].order = reader.byteOrder();

  if (const ReadError* damage = reader.error()) {
    error = path + ": " + damage->message;
    return false;
  }
  if (!ended) {
    error = path + ": byte " + std::to_string(reader.offset()) +
            ": the file ends without an MRR record (cut short)";
    return false;
  }
  return true;
}

// ----- screening

namespace {

// The final parts of a lot grouped for dynamic PAT: one group per wafer, one for the parts off
// wafers.
std::vector<std::vector<std::size_t>> populations(const PatLot& lot) {
  std::vector<std::vector<std::size_t>> groups(lot.wafers().size() + 1);
  for (std::size_t i = 0; i < lot.parts().size(); ++i) {
    const PatLot::Part& part = lot.parts()[i];
    if (!part.final) continue;
    groups[part.wafer >= 0 ? static_cast<std::size_t>(part.wafer) : lot.wafers().size()].push_back(
        i);
  }
  return groups;
}

// A wafer's final dies on a grid, for the rules that look at neighbours.
struct Grid {
  int minX = 0, minY = 0, width = 0, height = 0;
  std::vector<int> at;  // part index, -1 where no die
  int part(int x, int y) const {
    if (x < minX || y < minY || x >= minX + width || y >= minY + height) return -1;
    return at[static_cast<std::size_t>((y - minY) * width + (x - minX))];
  }
};

Grid gridOf(const PatLot& lot, const std::vector<std::size_t>& dies) {
  Grid grid;
  if (dies.empty()) return grid;
  int maxX = lot.parts()[dies[0]].x, maxY = lot.parts()[dies[0]].y;
  grid.minX = maxX;
  grid.minY = maxY;
  for (const std::size_t i : dies) {
    grid.minX = std::min(grid.minX, lot.parts()[i].x);
    grid.minY = std::min(grid.minY, lot.parts()[i].y);
    maxX = std::max(maxX, lot.parts()[i].x);
    maxY = std::max(maxY, lot.parts()[i].y);
  }
  grid.width = maxX - grid.minX + 1;
  grid.height = maxY - grid.minY + 1;
  grid.at.assign(static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height), -1);
  for (const std::size_t i : dies) {
    const PatLot::Part& part = lot.parts()[i];
    grid.at[static_cast<std::size_t>((part.y - grid.minY) * grid.width + (part.x - grid.minX))] =
        static_cast<int>(i);
  }
  return grid;
}

class Screen {
 public:
  Screen(const PatLot& lot, const PatRules& rules, PatLot::DynamicLimits* dynamicLimits)
      : lot_(lot),
        rules_(rules),
        dynamicLimits_(dynamicLimits),
        taken_(lot.parts().size(), false),
        groups_(populations(lot)) {}

  // Whether a part may still become an outlier.
  bool open(std::size_t part) const { return lot_.parts()[part].good && !taken_[part]; }

  void take(PatOutlier outlier) {
    taken_[outlier.part] = true;
    found_.push_back(std::move(outlier));
  }

  void staticPat(const PatLimitTable& limits) {
    std::vector<std::optional<std::pair<double, double>>> byIndex(lot_.tests().size());
    for (std::size_t t = 0; t < lot_.tests().size(); ++t) {
      const auto found = limits.find(lot_.tests()[t].number);
      if (found != limits.end()) byIndex[t] = found->second;
    }
    for (std::size_t i = 0; i < lot_.parts().size(); ++i) {
      const PatLot::Part& part = lot_.parts()[i];
      if (!part.final || !open(i)) continue;
      const auto [tests, values] = lot_.values(part);
      for (std::uint32_t v = 0; v < part.valuesEnd - part.valuesBegin; ++v) {
        const auto& limit = byIndex[tests[v]];
        if (limit && (values[v] < limit->first || values[v] > limit->second)) {
          take({i, PatRule::STATIC, lot_.tests()[tests[v]].number, values[v], limit->first,
                limit->second, ""});
          break;
        }
      }
    }
  }

  // Each population's limits, test by test (none where a test has too few values or no spread).
  using TestLimits = std::vector<std::optional<RobustLimits>>;

  TestLimits populationLimits(const std::vector<std::size_t>& group,
                              std::vector<std::vector<double>>& byTest) const {
    for (auto& values : byTest) {
      values.clear();
      values.reserve(group.size());
    }
    for (const std::size_t i : group) {
      const PatLot::Part& part = lot_.parts()[i];
      if (!part.good) continue;
      const auto [tests, values] = lot_.values(part);
      for (std::uint32_t v = 0; v < part.valuesEnd - part.valuesBegin; ++v) {
        byTest[tests[v]].push_back(values[v]);
      }
    }
    TestLimits limits(byTest.size());
    for (std::size_t t = 0; t < byTest.size(); ++t) {
      RobustLimits found;
      if (byTest[t].size() < rules_.minValues || !robustLimits(byTest[t], rules_.k, found)) {
        continue;
      }
      PatLot::clipToTestLimits(lot_.tests()[t], found);
      limits[t] = found;
    }
    return limits;
  }

  void dynamicPat() {
    const std::size_t testCount = lot_.tests().size();
    // The populations' limits shared out among the cores; the parts judged in order after.
    std::vector<TestLimits> limits(groups_.size());
    const std::size_t threads = workers(groups_.size());
    std::vector<std::thread> helpers;
    for (std::size_t k = 1; k < threads; ++k) {
      helpers.emplace_back([&, k] {
        std::vector<std::vector<double>> byTest(testCount);
        for (std::size_t g = k; g < groups_.size(); g += threads) {
          limits[g] = populationLimits(groups_[g], byTest);
        }
      });
    }
    {
      std::vector<std::vector<double>> byTest(testCount);
      for (std::size_t g = 0; g < groups_.size(); g += threads) {
        limits[g] = populationLimits(groups_[g], byTest);
      }
    }
    for (std::thread& helper : helpers) helper.join();
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      for (std::size_t t = 0; t < testCount && dynamicLimits_; ++t) {
        if (limits[g][t]) {
          (*dynamicLimits_)[lot_.tests()[t].number].emplace_back(limits[g][t]->low,
                                                                 limits[g][t]->high);
        }
      }
      for (const std::size_t i : groups_[g]) {
        if (!open(i)) continue;
        const PatLot::Part& part = lot_.parts()[i];
        const auto [tests, values] = lot_.values(part);
        for (std::uint32_t v = 0; v < part.valuesEnd - part.valuesBegin; ++v) {
          const auto& limit = limits[g][tests[v]];
          if (limit && (values[v] < limit->low || values[v] > limit->high)) {
            take({i, PatRule::DYNAMIC, lot_.tests()[tests[v]].number, values[v], limit->low,
                  limit->high, ""});
            break;
          }
        }
      }
    }
  }

  // How many threads share out `work` pieces: the cores, at most 4, at most the pieces.
  static std::size_t workers(std::size_t work) {
    const std::size_t cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    return std::max<std::size_t>(1, std::min(cores, work));
  }

  // A wafer's dies whose residual is outside the limits, for one test: (part, value, low, high).
  using Candidates = std::vector<std::tuple<std::size_t, double, double, double>>;

  void nnr() {
    const std::size_t testCount = lot_.tests().size();
    // The tests of each wafer shared out among a few threads; what they find is taken test by
    // test, in order, as one thread would.
    const std::size_t threads = workers(testCount);
    for (std::size_t w = 0; w < lot_.wafers().size(); ++w) {
      const NnrPlanes planes(lot_, groups_[w], rules_.nnrWindow / 2);
      std::vector<Candidates> found(testCount);
      std::vector<std::thread> helpers;
      for (std::size_t k = 1; k < threads; ++k) {
        helpers.emplace_back([&, k] {
          for (std::size_t t = k; t < testCount; t += threads) found[t] = nnrTest(planes, t);
        });
      }
      for (std::size_t t = 0; t < testCount; t += threads) found[t] = nnrTest(planes, t);
      for (std::thread& helper : helpers) helper.join();
      for (std::size_t t = 0; t < testCount; ++t) {
        for (const auto& [part, value, low, high] : found[t]) {
          if (open(part)) take({part, PatRule::NNR, lot_.tests()[t].number, value, low, high, ""});
        }
      }
    }
  }

  // A wafer's good dies' values, test by test over its grid with a border of the window's reach
  // (no bounds to check), NaN where no value is. Values came as R4: floats lose nothing.
  struct NnrPlanes {
    NnrPlanes(const PatLot& lot, const std::vector<std::size_t>& waferDies, int reach)
        : dies(waferDies), reach(reach) {
      grid = gridOf(lot, dies);
      width = grid.width + 2 * reach;
      cells = static_cast<std::size_t>(width) * static_cast<std::size_t>(grid.height + 2 * reach);
      // LANES more at the end: the last row's four-at-a-time loads read past it.
      value.assign(cells * lot.tests().size() + LANES, std::numeric_limits<float>::quiet_NaN());
      dieAt.assign(cells + LANES, -1);
      for (const std::size_t i : dies) {
        const PatLot::Part& part = lot.parts()[i];
        cell.push_back(cellOf(part.x, part.y));
        dieAt[cell.back()] = static_cast<std::int32_t>(cell.size() - 1);
        if (!part.good) continue;
        const auto [tests, values] = lot.values(part);
        for (std::uint32_t v = 0; v < part.valuesEnd - part.valuesBegin; ++v) {
          value[tests[v] * cells + cell.back()] = static_cast<float>(values[v]);
        }
      }
      for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
          if (dx != 0 || dy != 0) offsets.push_back(dy * width + dx);
        }
      }
    }
    std::size_t cellOf(int x, int y) const {
      return static_cast<std::size_t>((y - grid.minY + reach) * width + (x - grid.minX + reach));
    }
    const std::vector<std::size_t>& dies;
    int reach;
    Grid grid;
    int width = 0;
    std::size_t cells = 0;
    std::vector<float> value;
    std::vector<std::size_t> cell;        // of each die
    std::vector<std::int32_t> dieAt;      // of each cell: the die there (in dies), -1 none
    std::vector<std::ptrdiff_t> offsets;  // of the neighbours in the window
  };

  Candidates nnrTest(const NnrPlanes& planes, std::size_t t) const {
    struct Residual {
      std::size_t die;  // in planes.dies
      double value, neighbours, residual;
    };
    std::vector<Residual> residuals;
    residuals.reserve(planes.dies.size());
    const float* plane = planes.value.data() + t * planes.cells;
    if (planes.offsets.size() <= static_cast<std::size_t>(SLOTS)) {
      // LANES cells of a row at a time, each lane a die: every neighbour of the four is one load.
      // A missing neighbour (NaN) becomes a value above all or below all in turn, so that the
      // median stays in the middle slots (medianOfNeighbours).
      __m128 slot[SLOTS];
      bool odd[LANES];
      double median[LANES];
      const int reach = planes.reach;
      for (int row = reach; row < reach + planes.grid.height; ++row) {
        for (int column = reach; column < reach + planes.grid.width; column += LANES) {
          const std::size_t at = static_cast<std::size_t>(row * planes.width + column);
          const __m128 own = _mm_loadu_ps(plane + at);
          if (_mm_movemask_ps(_mm_cmpord_ps(own, own)) == 0) continue;
          std::size_t count[LANES];
          neighbourSlots(plane + at, planes.offsets, slot, count, odd);
          bool judged = false;
          for (int lane = 0; lane < LANES; ++lane) {
            judged = judged || (planes.dieAt[at + static_cast<std::size_t>(lane)] >= 0 &&
                                !std::isnan(plane[at + static_cast<std::size_t>(lane)]) &&
                                count[lane] >= rules_.nnrMinNeighbours && count[lane] > 0);
          }
          if (!judged) continue;
          middleOf(slot, odd, median);
          for (int lane = 0; lane < LANES; ++lane) {
            const std::size_t cell = at + static_cast<std::size_t>(lane);
            const float mine = plane[cell];
            if (planes.dieAt[cell] < 0 || std::isnan(mine) ||
                count[lane] < rules_.nnrMinNeighbours || count[lane] == 0) {
              continue;
            }
            residuals.push_back({static_cast<std::size_t>(planes.dieAt[cell]), mine, median[lane],
                                 mine - median[lane]});
          }
        }
      }
    } else {
      // A larger window: one die at a time.
      std::vector<double> many;
      for (std::size_t d = 0; d < planes.dies.size(); ++d) {
        const float* at = plane + planes.cell[d];
        if (std::isnan(*at)) continue;
        many.clear();
        for (const std::ptrdiff_t offset : planes.offsets) {
          if (!std::isnan(at[offset])) many.push_back(at[offset]);
        }
        if (many.size() < rules_.nnrMinNeighbours || many.empty()) continue;
        const double middle = medianOfMany(many);
        residuals.push_back({d, *at, middle, *at - middle});
      }
    }
    Candidates found;
    if (residuals.size() < rules_.minValues) return found;
    std::vector<double> spread(residuals.size());
    for (std::size_t r = 0; r < residuals.size(); ++r) spread[r] = residuals[r].residual;
    RobustLimits limits;
    if (!robustLimits(spread, rules_.nnrK, limits)) return found;
    std::vector<const Residual*> outside;
    for (const Residual& r : residuals) {
      if (r.residual < limits.low || r.residual > limits.high) outside.push_back(&r);
    }
    // In the wafer's order of its dies, whichever order they were judged in.
    std::sort(outside.begin(), outside.end(),
              [](const Residual* a, const Residual* b) { return a->die < b->die; });
    for (const Residual* r : outside) {
      found.emplace_back(planes.dies[r->die], r->value, r->neighbours + limits.low,
                         r->neighbours + limits.high);
    }
    return found;
  }

  void gdbn() {
    for (std::size_t w = 0; w < lot_.wafers().size(); ++w) {
      const Grid grid = gridOf(lot_, groups_[w]);
      for (const std::size_t i : groups_[w]) {
        if (!open(i)) continue;
        const PatLot::Part& part = lot_.parts()[i];
        int weight = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            const int next = grid.part(part.x + dx, part.y + dy);
            if (next < 0 || lot_.parts()[static_cast<std::size_t>(next)].good) continue;
            weight += dx == 0 || dy == 0 ? rules_.gdbnAdjacentWeight : rules_.gdbnDiagonalWeight;
          }
        }
        if (weight >= rules_.gdbnThreshold) {
          take({i, PatRule::GDBN, std::nullopt, static_cast<double>(weight), std::nullopt,
                std::nullopt,
                "weight=" + std::to_string(weight) +
                    " threshold=" + std::to_string(rules_.gdbnThreshold)});
        }
      }
    }
  }

  void zpat() {
    std::size_t wafers = 0;
    std::map<std::pair<int, int>, std::size_t> fails;
    for (std::size_t w = 0; w < lot_.wafers().size(); ++w) {
      if (groups_[w].empty()) continue;
      ++wafers;
      for (const std::size_t i : groups_[w]) {
        const PatLot::Part& part = lot_.parts()[i];
        if (!part.good) ++fails[{part.x, part.y}];
      }
    }
    if (wafers < rules_.zpatMinWafers) return;
    for (std::size_t w = 0; w < lot_.wafers().size(); ++w) {
      for (const std::size_t i : groups_[w]) {
        if (!open(i)) continue;
        const PatLot::Part& part = lot_.parts()[i];
        const auto found = fails.find({part.x, part.y});
        if (found == fails.end() ||
            static_cast<double>(found->second) < rules_.zpatShare * static_cast<double>(wafers)) {
          continue;
        }
        take({i, PatRule::ZPAT, std::nullopt, static_cast<double>(found->second), std::nullopt,
              std::nullopt,
              "fails=" + std::to_string(found->second) + " wafers=" + std::to_string(wafers)});
      }
    }
  }

  std::vector<PatOutlier> found() { return std::move(found_); }

 private:
  const PatLot& lot_;
  const PatRules& rules_;
  PatLot::DynamicLimits* dynamicLimits_;
  std::vector<bool> taken_;
  std::vector<std::vector<std::size_t>> groups_;
  std::vector<PatOutlier> found_;
};

}  // namespace

std::vector<PatOutlier> PatLot::screen(const PatRules& rules, const PatLimitTable* staticLimits,
                                       DynamicLimits* dynamicLimits) const {
  Screen screen(*this, rules, dynamicLimits);
  if (staticLimits && rules[PatRule::STATIC].enabled) screen.staticPat(*staticLimits);
  if (rules[PatRule::DYNAMIC].enabled) screen.dynamicPat();
  if (rules[PatRule::NNR].enabled) screen.nnr();
  if (rules[PatRule::GDBN].enabled) screen.gdbn();
  if (rules[PatRule::ZPAT].enabled) screen.zpat();
  return screen.found();
}

std::vector<ReportTest> PatLot::reportTests() const {
  std::vector<ReportTest> tests(tests_.size());
  for (std::size_t t = 0; t < tests_.size(); ++t) {
    const Test& test = tests_[t];
    ReportTest& shown = tests[t];
    shown.number = test.number;
    shown.name = test.name;
    shown.unit = test.unit;
    shown.low = test.testLow;
    shown.high = test.testHigh;
    shown.executions = test.executions;
    shown.fails = test.fails;
  }
  std::uint64_t random = 0x9e3779b97f4a7c15ull;  // the sample's choice, the same every time
  for (std::size_t v = 0; v < values_.size(); ++v) {
    ReportTest::nextRandom(random);
    tests[valueTests_[v]].add(values_[v], random);
  }
  return tests;
}

PatLot::LimitsResult PatLot::limits(double k, std::size_t minValues) const {
  std::vector<std::vector<double>> byTest(tests_.size());
  for (const Part& part : parts_) {
    if (!part.final || !part.good) continue;
    for (std::uint32_t v = part.valuesBegin; v < part.valuesEnd; ++v) {
      byTest[valueTests_[v]].push_back(values_[v]);
    }
  }
  // In test number order.
  std::vector<std::size_t> order(tests_.size());
  for (std::size_t t = 0; t < order.size(); ++t) order[t] = t;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return tests_[a].number < tests_[b].number; });
  LimitsResult result;
  for (const std::size_t t : order) {
    const std::size_t count = byTest[t].size();
    RobustLimits found;
    if (count < minValues) {
      result.leftOut.push_back(
          {&tests_[t], count,
           "fewer than " + std::to_string(minValues) + " values from good parts"});
    } else if (!robustLimits(byTest[t], k, found)) {
      result.leftOut.push_back({&tests_[t], count, "Q3 equals Q1: no spread to judge by"});
    } else {
      clipToTestLimits(tests_[t], found);
      result.limits.push_back({&tests_[t], found});
    }
  }
  return result;
}

}  // namespace stdf
