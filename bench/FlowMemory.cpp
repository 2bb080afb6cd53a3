// Peak memory of reading a flow of 20,000 items with three results each, as a multiple of the
// file's size. Each reading happens in a fresh process (this program started again with
// "measure"), so that no memory freed earlier is reused, and is measured two ways:
//   - heap: the peak of bytes held from operator new (replaced below), over what was held before;
//   - resident: the peak resident set (VmHWM, reset through /proc/self/clear_refs) over the
//     resident set before.
// The reading of the driver (DriverCommon::analysisFlowFile) is measured, and for comparison
// the JSON library's own: operator>> into a document, then get<> of the records.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>
#include <nlohmann/json.hpp>
#include <sstream>

#include "bench/BenchSupport.h"
#include "host/ChildProcess.h"
#include "utils/DriverCommon.h"

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Level, clampHi, clampLow, iOH, iOL, vIH, vIL, vOH, vOL, vT)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Result, max, min, paramId, paramName, unit)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(TestItem, failJump, flag, funcDesc, funcId, funcName, hbin,
                                   level, loop, passJump, pattern, results, sbin, select)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FlowMessage, testItems)

namespace {

// Bytes held from operator new, and their peak; counted by usable size, as the heap sees them.
std::atomic<std::size_t> heldBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* allocate(std::size_t size, std::size_t alignment = 0) {
  if (size == 0) size = 1;
  void* block = alignment > alignof(std::max_align_t)
                    ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                    : std::malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  const std::size_t now = heldBytes += malloc_usable_size(block);
  std::size_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return block;
}

void deallocate(void* block) {
  if (block == nullptr) return;
  heldBytes -= malloc_usable_size(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { deallocate(block); }
void operator delete[](void* block) noexcept { deallocate(block); }
void operator delete(void* block, std::size_t) noexcept { deallocate(block); }
void operator delete[](void* block, std::size_t) noexcept { deallocate(block); }
void operator delete(void* block, std::align_val_t) noexcept { deallocate(block); }
void operator delete[](void* block, std::align_val_t) noexcept { deallocate(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { deallocate(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { deallocate(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { deallocate(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { deallocate(block); }

namespace {

constexpr int ITEMS = 20000;
constexpr int RESULTS = 3;

// A field of /proc/self/status, in KiB.
long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

std::size_t readWith(const std::string& reader, const std::string& path) {
  if (reader == "driver") {
    DriverCommon common;
    std::optional<FlowMessage> flow = common.analysisFlowFile(path);
    return flow ? flow->testItems.size() : 0;
  }
  std::ifstream file(path, std::ios::in | std::ios::binary);
  nlohmann::json document;
  file >> document;
  return document.get<FlowMessage>().testItems.size();
}

// In the fresh process: reads the file once and prints "HEAP_BYTES RESIDENT_KIB ITEMS".
int measure(const std::string& reader, const std::string& path) {
  bench::QuietStdout quiet;  // the listing goes to /dev/null
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";  // resets VmHWM to the present resident set
  }
  const long residentBefore = statusKiB("VmRSS");
  const std::size_t heapBefore = heldBytes.load();
  peakBytes = heapBefore;
  const std::size_t items = readWith(reader, path);
  const std::size_t heapPeak = peakBytes.load() - heapBefore;
  const long residentPeak = statusKiB("VmHWM") - residentBefore;
  quiet.console() << heapPeak << " " << residentPeak << " " << items << std::endl;
  return 0;
}

std::string selfPath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) throw std::runtime_error("cannot find this program");
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "measure") return measure(argv[2], argv[3]);

  bench::TempDir dir;
  const std::string document = bench::flowDocument(ITEMS, RESULTS);
  const std::string path = dir.write("flow.json", document);
  const double fileBytes = static_cast<double>(document.size());
  std::cout << "flow file: " << ITEMS << " items, " << RESULTS << " results each, "
            << document.size() << " bytes" << std::endl;

  struct Reader {
    const char* name;
    const char* label;
    std::optional<double> target;
  };
  const Reader readers[] = {{"driver", "analysisFlowFile", 10.0},
                            {"library", "nlohmann >> and get (for comparison)", std::nullopt}};
  int status = 0;
  for (const Reader& reader : readers) {
    ChildProcess::Options options;
    options.argv = {selfPath(), "measure", reader.name, path};
    ChildProcess child(options);
    const std::optional<std::string> line =
        child.readLine(ChildProcess::Stream::out, std::chrono::minutes(2));
    child.wait(std::chrono::minutes(1));
    std::size_t heap = 0;
    long resident = 0;
    std::size_t items = 0;
    std::istringstream fields(line.value_or(""));
    if (!(fields >> heap >> resident >> items) || items != ITEMS) {
      std::cout << reader.label << ": the measurement failed" << std::endl;
      status = 1;
      continue;
    }
    bench::printFigure(std::cout,
                       std::string("flow reading peak heap, ") + reader.label + " / file size",
                       static_cast<double>(heap) / fileBytes, "", reader.target);
    bench::printFigure(std::cout,
                       std::string("flow reading peak resident, ") + reader.label + " / file size",
                       static_cast<double>(resident) * 1024 / fileBytes, "", reader.target);
  }
  return status;
}
