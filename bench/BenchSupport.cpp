#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <streambuf>

namespace fs = std::filesystem;

namespace bench {

std::string flowDocument(int count, int results) {
  std::string json = "{\"testItems\": [";
  for (int i = 0; i < count; ++i) {
    const std::string name = "f" + std::to_string(i);
    if (i > 0) json += ",\n";
    json += R"({"failJump": "fj", "flag": "fl", "funcDesc": "desc )" + name + R"(", "funcId": )" +
            std::to_string(100 + i) + R"(, "funcName": ")" + name +
            R"(", "hbin": 3, "level": {"clampHi": "ch", "clampLow": "cl", "iOH": "ioh",)"
            R"( "iOL": "iol", "vIH": "vih", "vIL": "vil", "vOH": "voh", "vOL": "vol", "vT": "vt"},)"
            R"( "loop": 0, "passJump": "pj", "pattern": "pat", "results": [)";
    for (int r = 0; r < results; ++r) {
      if (r > 0) json += ", ";
      json += R"({"max": "1.5", "min": "-0.5", "paramId": )" + std::to_string(r) +
              R"(, "paramName": "P)" + std::to_string(i) + "_" + std::to_string(r) +
              R"(", "unit": "V"})";
    }
    json += R"(], "sbin": 4, "select": true})";
  }
  return json + "]}\n";
}

namespace {

// An output stream buffer over a file descriptor.
class FdBuffer : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  ~FdBuffer() override { sync(); }

 protected:
  int overflow(int c) override {
    if (sync() != 0) return traits_type::eof();
    if (c != traits_type::eof()) {
      *pptr() = static_cast<char>(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    const char* data = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0) {
      const ssize_t written = ::write(fd_, data, left);
      if (written <= 0) return -1;
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return 0;
  }

 private:
  int fd_;
  char buffer_[4096];
};

}  // namespace

struct QuietStdout::Impl {
  int saved = -1;
  std::unique_ptr<FdBuffer> buffer;
  std::unique_ptr<std::ostream> stream;
};

QuietStdout::QuietStdout() : impl_(std::make_unique<Impl>()) {
  std::fflush(stdout);
  impl_->saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (impl_->saved < 0 || null < 0) throw std::runtime_error("cannot redirect standard output");
  dup2(null, STDOUT_FILENO);
  close(null);
  impl_->buffer = std::make_unique<FdBuffer>(impl_->saved);
  impl_->stream = std::make_unique<std::ostream>(impl_->buffer.get());
}

QuietStdout::~QuietStdout() {
  impl_->stream->flush();
  std::fflush(stdout);
  dup2(impl_->saved, STDOUT_FILENO);
  close(impl_->saved);
}

std::ostream& QuietStdout::console() { return *impl_->stream; }

void printFigure(std::ostream& out, const std::string& label, double value, const std::string& unit,
                 std::optional<double> target) {
  std::ostringstream line;
  line << "figure: " << label << " = " << std::fixed << std::setprecision(3) << value;
  if (!unit.empty()) line << " " << unit;
  if (target) {
    line << " (target <= " << *target << ": " << (value <= *target ? "met" : "MISSED") << ")";
  }
  out << line.str() << std::endl;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + middle, values.end());
  if (values.size() % 2 == 1) return values[middle];
  const double upper = values[middle];
  return (upper + *std::max_element(values.begin(), values.begin() + middle)) / 2;
}

FlowMessage measureFlow(int params) {
  TestItem item{};
  item.funcName = "measure";
  item.funcId = 1;
  item.hbin = 2;
  item.sbin = 20;
  item.select = true;
  for (int p = 0; p < params; ++p) {
    item.results.push_back(Result{"2.0", "1.0", p + 1, "PARAM" + std::to_string(p), "V"});
  }
  FlowMessage flow;
  flow.testItems.push_back(item);
  return flow;
}

Setting devicesSetting(int devices) {
  Setting setting;
  for (int d = 0; d < devices; ++d) {
    setting.dutSetting.selectDUT.push_back("DUT" + std::to_string(d + 1));
  }
  return setting;
}

}  // namespace bench
