// A gzip file written under a temporary name beside its final one and renamed into place when
// complete, so that a reader of the folder sees the old file or the new one, never a part of
// either. The bytes depend on the data only: the gzip header carries no time, name or system.
#ifndef ATE_STDF_GZIPFILE_H_
#define ATE_STDF_GZIPFILE_H_

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace stdf {

class GzipFile {
 public:
  // Creates `.NAME.tmp` in path's folder (the folder must exist); failed() says whether that
  // worked. Nothing is at `path` until commit().
  explicit GzipFile(std::filesystem::path path);
  // Removes the temporary file unless committed.
  ~GzipFile();
  GzipFile(const GzipFile&) = delete;
  GzipFile& operator=(const GzipFile&) = delete;

  // Compresses bytes into the file. After a failure, does nothing.
  void write(std::string_view bytes);
  // Ends the stream, closes the file and renames it to the final path, replacing what was there.
  // False when this or an earlier step failed; error() says why.
  bool commit();

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  struct Stream;
  void deflateInto(int flush);
  void fail(const std::string& what);

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  std::FILE* file_ = nullptr;
  std::unique_ptr<Stream> stream_;
  bool committed_ = false;
  std::string error_;
};

}  // namespace stdf

#endif  // ATE_STDF_GZIPFILE_H_
