// What the hosts' programs (ate-host, ate-station, ate-handler-sim) read from their command lines
// alike.
#ifndef ATE_HOST_COMMANDLINE_H_
#define ATE_HOST_COMMANDLINE_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace host {

// The program called name (without the platform's suffix: "driver" is driver.exe on Windows) in
// the folder of the program that self names (argv[0]); beside it when self names no folder.
std::string programBeside(const char* self, const std::string& name);

// A duration given in seconds: a decimal number (a fraction allowed) from 0 up to a million,
// nothing else around it. Empty for anything else.
std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text);

}  // namespace host

#endif  // ATE_HOST_COMMANDLINE_H_
