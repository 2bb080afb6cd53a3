// Reading of the flow file and the setting file into their records.
#ifndef ATE_UTILS_DRIVERCOMMON_H_
#define ATE_UTILS_DRIVERCOMMON_H_

#include <optional>
#include <string>
#include <vector>

#include "utils/CommonStruct.h"

class DriverCommon {
 public:
  virtual ~DriverCommon() = default;

  // Whether anything (file or directory) exists at path. Throws std::filesystem::filesystem_error
  // when the file system can't answer (for example a component that may not be searched).
  bool fileExists(const std::string& path);

  // Reads the flow file at filePath and lists its test items and result parameters on standard
  // output. No value when nothing exists at the path. Throws when the file can't be opened
  // (std::runtime_error, after "Failed to open file!" on standard error) or isn't a valid flow
  // (nlohmann::json's parse_error, out_of_range or type_error, whose message names the JSON path
  // of the failing value). The record is returned complete or not at all. The items are read
  // as they are parsed, so the whole document is never held in memory; the outcome is the same
  // as reading it whole.
  std::optional<FlowMessage> analysisFlowFile(std::string filePath);

  // The same for the setting file, without a listing.
  std::optional<Setting> analysisSettingFile(std::string filePath);

  // The pieces of str that each delimiter ends (empty ones included), then the text after the
  // last delimiter if it isn't empty; a trailing empty piece is dropped.
  std::vector<std::string> split(const std::string& str, char delimiter);
};

#endif  // ATE_UTILS_DRIVERCOMMON_H_
