#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace fuzz {
namespace {

std::string directory;

// Where findings are reported: standard error as it was at start-up.
std::FILE* const reports = stderr;

void removeDirectory() {
  std::error_code ignored;
  if (!directory.empty()) fs::remove_all(directory, ignored);
}

std::string makeDirectory() {
  std::error_code error;
  const fs::path parent =
      fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (parent / "ate-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("cannot make a directory under " + parent.string());
  directory = pattern;
  std::atexit(removeDirectory);
  return directory;
}

}  // namespace

const std::string& writeInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = makeDirectory() + "/input";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) fail("cannot write " + path);
  if (size > 0 && std::fwrite(data, 1, size, file) != size) fail("cannot write " + path);
  if (std::fclose(file) != 0) fail("cannot write " + path);
  return path;
}

void fail(const std::string& what) {
  std::fprintf(reports, "FINDING: %s\n", what.c_str());
  std::fflush(reports);
  std::abort();
}

void silenceStdout() {
  std::fflush(stdout);
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0) fail("cannot open /dev/null");
  dup2(null, STDOUT_FILENO);
  close(null);
}

void silenceStderrStream() {
  // The GNU C library lets a program point its standard streams elsewhere by assignment.
  std::FILE* null = std::fopen("/dev/null", "w");
  if (null == nullptr) fail("cannot open /dev/null");
  stderr = null;
}

}  // namespace fuzz
