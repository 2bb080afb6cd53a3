// The driver's lines as a host reads and writes them: command lines composed, and reply lines
// ("N^done", "N^error,error info=CODE", "N^execute done") recognised, with the words of
// utils/Protocol.h.
#ifndef ATE_HOST_DRIVERREPLY_H_
#define ATE_HOST_DRIVERREPLY_H_

#include <string>
#include <vector>

#include "utils/Protocol.h"

struct DriverReply {
  enum class Kind { none, done, error, executeDone };
  Kind kind = Kind::none;  // none: the line is no reply (test output, a listing, a prompt)
  std::string number;      // the command number, exactly as the line has it
  int code = 0;            // error: the result code
};

// What line is. A line that has the shape of a reply is one whatever its number; the caller
// decides whether it sent that number.
DriverReply parseReply(const std::string& line);

// The command line (without its line end) for command numbered number, with its arguments:
// "3^qv -p run setting.json".
std::string formatCommand(const std::string& number, CommandType command,
                          const std::vector<std::string>& args = {});

// What an error code in a reply means, for people: "the flow file is missing, unreadable or
// malformed".
std::string describeErrorCode(int code);

#endif  // ATE_HOST_DRIVERREPLY_H_
