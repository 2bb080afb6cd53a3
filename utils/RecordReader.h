// Reading of the records from parsed JSON values, field by field in declaration order. Every
// key must be present: a missing one fails with nlohmann::json's out_of_range (403) and a value
// of the wrong type with its type_error, both naming the JSON path of the value when the value
// sits in a document. Internal to the driver and its tools: test projects never see it.
#ifndef ATE_UTILS_RECORDREADER_H_
#define ATE_UTILS_RECORDREADER_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "utils/CommonStruct.h"

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
