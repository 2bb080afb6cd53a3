#include "host/DriverReply.h"

#include <cstdlib>

#include "utils/ErrorType.h"

DriverReply parseReply(const std::string& line) {
  DriverReply reply;
  const std::string::size_type caret = line.find(COMMAND_MARK);
  if (caret == std::string::npos || caret == 0) return reply;
  for (std::string::size_type i = 0; i < caret; ++i) {
    if (line[i] < '0' || line[i] > '9') return reply;
  }
  const std::string_view rest = std::string_view(line).substr(caret + 1);
  const std::string errorPrefix = FAIL_STR + std::string(ERROR_INFO);
  if (rest == SUCCESS_STR) {
    reply.kind = DriverReply::Kind::done;
  } else if (rest == EXECUTE_DONE) {
    reply.kind = DriverReply::Kind::executeDone;
  } else if (rest.substr(0, errorPrefix.size()) == errorPrefix) {
    reply.kind = DriverReply::Kind::error;
    reply.code = std::atoi(line.c_str() + caret + 1 + errorPrefix.size());
  } else {
    return reply;
  }
  reply.number = line.substr(0, caret);
  return reply;
}

std::string formatCommand(const std::string& number, CommandType command,
                          const std::vector<std::string>& args) {
  std::string line = number;
  line += COMMAND_MARK;
  line += COMMAND_TEXTS[command];
  for (const std::string& arg : args) line += " " + arg;
  return line;
}

std::string describeErrorCode(int code) {
  const ErrorTypeText* text = findErrorType(code);
  return text != nullptr ? text->sentence : "unknown code";
}
