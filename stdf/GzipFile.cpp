#include "stdf/GzipFile.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace stdf {

namespace {

// Fast compression: on export_bench's datalog, zlib's default level 6 made exporting cost about
// 5 times reading the file for a summary, level 1 about 2, for tables a third larger.
constexpr int LEVEL = 1;
constexpr std::size_t CHUNK = 1 << 16;

}  // namespace

struct GzipFile::Stream {
  z_stream z{};
  gz_header header{};
  std::vector<unsigned char> out = std::vector<unsigned char>(CHUNK);
  bool open = false;
  ~Stream() {
    if (open) deflateEnd(&z);
  }
};

GzipFile::GzipFile(std::filesystem::path path) : path_(std::move(path)) {
  temporary_ = path_.parent_path() / ("." + path_.filename().string() + ".tmp");
  file_ = std::fopen(temporary_.string().c_str(), "wb");
  if (file_ == nullptr) {
    fail(std::strerror(errno));
    return;
  }
  stream_ = std::make_unique<Stream>();
  // windowBits 15 + 16: a gzip wrapper rather than zlib's. The header set below replaces the
  // default one, whose system byte depends on the platform the library was built for.
  if (deflateInit2(&stream_->z, LEVEL, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fail("zlib can't start a stream");
    return;
  }
  stream_->open = true;
  stream_->header.time = 0;
  stream_->header.os = 255;  // unknown
  if (deflateSetHeader(&stream_->z, &stream_->header) != Z_OK) fail("zlib can't set the header");
}

GzipFile::~GzipFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

void GzipFile::fail(const std::string& what) {
  if (error_.empty()) error_ = "cannot write " + path_.string() + ": " + what;
}

void GzipFile::deflateInto(int flush) {
  z_stream& z = stream_->z;
  for (;;) {
    z.next_out = stream_->out.data();
    z.avail_out = static_cast<uInt>(stream_->out.size());
    const int status = deflate(&z, flush);
    if (status == Z_STREAM_ERROR) {
      fail("zlib failed");
      return;
    }
    const std::size_t produced = stream_->out.size() - z.avail_out;
    if (produced > 0 && std::fwrite(stream_->out.data(), 1, produced, file_) != produced) {
      fail(std::strerror(errno));
      return;
    }
    // Without Z_FINISH, zlib has taken all the input once it leaves room in the output; with
    // it, the stream is complete at Z_STREAM_END.
    if (flush == Z_FINISH ? status == Z_STREAM_END : z.avail_out != 0) return;
  }
}

void GzipFile::write(std::string_view bytes) {
  if (failed() || bytes.empty()) return;
  z_stream& z = stream_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  deflateInto(Z_NO_FLUSH);
}

bool GzipFile::commit() {
  if (!failed()) {
    stream_->z.next_in = nullptr;
    stream_->z.avail_in = 0;
    deflateInto(Z_FINISH);
  }
  if (file_ != nullptr) {
    if (std::fclose(file_) != 0) fail(std::strerror(errno));
    file_ = nullptr;
  }
  if (failed()) return false;
  std::error_code error;
  std::filesystem::rename(temporary_, path_, error);
  if (error) {
    fail(error.message());
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace stdf
