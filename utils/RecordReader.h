// Reading of the records from parsed JSON values, field by field in declaration order. Every
// key must be present: a missing one fails with nlohmann::json's out_of_range (403) and a value
// of the wrong type with its type_error, both naming the JSON path of the value when the value
// sits in a document. Internal to the driver: test projects never see it.
#ifndef ATE_UTILS_RECORDREADER_H_
#define ATE_UTILS_RECORDREADER_H_

#include <nlohmann/json.hpp>

#include "CommonStruct.h"

void readRecord(const nlohmann::json& value, TestItem& out);
void readRecord(const nlohmann::json& value, FlowMessage& out);
void readRecord(const nlohmann::json& value, Setting& out);

#endif  // ATE_UTILS_RECORDREADER_H_
