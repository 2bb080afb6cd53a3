// Reading of the records from parsed JSON values, field by field in declaration order. Every
// key must be present: a missing one fails with nlohmann::json's out_of_range (403) and a value
// of the wrong type with its type_error, both naming the JSON path of the value when the value
// sits in a document. Internal to the driver and its tools: test projects never see it.
#ifndef ATE_UTILS_RECORDREADER_H_
#define ATE_UTILS_RECORDREADER_H_

#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "utils/CommonStruct.h"

// How opening a flow or setting file for reading went.
enum class FileOpening {
  opened,
  missing,     // nothing exists at the path
  unknown,     // whether something exists couldn't be found out (failure says why)
  unreadable,  // a directory, or no permission to read it
};
// Opens the file at path as the driver reads it: binary, and never a directory (one opens on
// some platforms but can never be read as a file). ate-check opens by the same rule.
FileOpening openForReading(const std::string& path, std::ifstream& stream,
                           std::error_code& failure);

void readRecord(const nlohmann::json& value, TestItem& out);
void readRecord(const nlohmann::json& value, FlowMessage& out);
void readRecord(const nlohmann::json& value, Setting& out);

// A value the reader can't take: where it is (a JSON pointer from the value given to the reader,
// "" for that value itself) and what is wrong with it, as a sentence for a person.
struct RecordProblem {
  std::string path;
  std::string message;
};

// The same reading, by the same rules, but it goes on after a value it can't take: that field
// keeps what out held, the problem is appended to problems, and the rest is read. The reading
// above fails exactly when this one appends a problem.
void readRecord(const nlohmann::json& value, FlowMessage& out,
                std::vector<RecordProblem>& problems);
void readRecord(const nlohmann::json& value, Setting& out, std::vector<RecordProblem>& problems);

#endif  // ATE_UTILS_RECORDREADER_H_
