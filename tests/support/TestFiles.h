// Temporary files for tests: a directory removed at the end, and flow and setting documents.
#ifndef ATE_TESTS_SUPPORT_TESTFILES_H_
#define ATE_TESTS_SUPPORT_TESTFILES_H_

#include <filesystem>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes content (bytes, unchanged) to name inside the directory; returns its path.
  std::string write(const std::string& name, const std::string& content) const;
  std::string path(const std::string& name) const;

 private:
  std::filesystem::path root_;
};

// One test item of a generated flow; the other fields get fixed, recognisable values.
struct FlowEntry {
  std::string funcName;
  bool select = true;
  int loop = 0;
  std::string pattern = "pat";
};

// A complete flow document with the given items; item i has funcId 100 + i.
std::string flowJson(const std::vector<FlowEntry>& items);

// A complete setting document.
std::string settingJson(int loopcount, bool failstop, const std::vector<std::string>& duts);

#endif  // ATE_TESTS_SUPPORT_TESTFILES_H_
