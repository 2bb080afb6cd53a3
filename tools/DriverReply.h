// The driver's reply lines, as every host reads them: "N^done", "N^error,error info=CODE" and
// "N^execute done". Shared by the reference host and the station.
#ifndef ATE_TOOLS_DRIVERREPLY_H_
#define ATE_TOOLS_DRIVERREPLY_H_

#include <string>

struct DriverReply {
  enum class Kind { none, done, error, executeDone };
  Kind kind = Kind::none;  // none: the line is no reply (test output, a listing, a prompt)
  std::string number;      // the command number, exactly as the line has it
  int code = 0;            // error: the result code
};

// What line is. A line that has the shape of a reply is one whatever its number; the caller
// decides whether it sent that number.
DriverReply parseReply(const std::string& line);

// What an error code in a reply means, for people.
std::string describeErrorCode(int code);

#endif  // ATE_TOOLS_DRIVERREPLY_H_
