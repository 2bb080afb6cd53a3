#include "DriverReply.h"

#include <cstdlib>

DriverReply parseReply(const std::string& line) {
  DriverReply reply;
  const std::string::size_type caret = line.find('^');
  if (caret == std::string::npos || caret == 0) return reply;
  for (std::string::size_type i = 0; i < caret; ++i) {
    if (line[i] < '0' || line[i] > '9') return reply;
  }
  const std::string rest = line.substr(caret + 1);
  static const std::string ERROR_PREFIX = "error,error info=";
  if (rest == "done") {
    reply.kind = DriverReply::Kind::done;
  } else if (rest == "execute done") {
    reply.kind = DriverReply::Kind::executeDone;
  } else if (rest.compare(0, ERROR_PREFIX.size(), ERROR_PREFIX) == 0) {
    reply.kind = DriverReply::Kind::error;
    reply.code = std::atoi(rest.c_str() + ERROR_PREFIX.size());
  } else {
    return reply;
  }
  reply.number = line.substr(0, caret);
  return reply;
}

std::string describeErrorCode(int code) {
  switch (code) {
    case 1:
      return "wrong number of arguments";
    case 2:
      return "no library path";
    case 3:
      return "the test project library could not be loaded";
    case 4:
      return "the test project library exports no prj_init";
    case 4097:
      return "the flow file is missing, unreadable or malformed";
    case 4098:
      return "the setting file is missing, unreadable or malformed";
    case 4099:
      return "the execution thread could not be started";
    default:
      return "unknown code";
  }
}
