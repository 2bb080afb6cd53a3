// The driver's conversation with the host: start-up output and the command loop.
#ifndef ATE_SRC_CONSOLE_H_
#define ATE_SRC_CONSOLE_H_

#include <string>

#include "src/CommandParser.h"
#include "src/LineReader.h"
#include "utils/Protocol.h"

// COMMAND_MARK, EXIT_MARK, SUCCESS_STR and FAIL_STR are the protocol's (utils/Protocol.h).

// The ten progress lines, 100 ms apart, then the prompt line.
void printStartup();

// Reads command lines from input and answers them until "exit" or the end of input; returns the
// process's exit status (0 in both cases).
int runCommandLoop(CommandParser& parser, LineReader& input);

// Writes the reply line for a command's result: "N^done" or "N^error,error info=R".
void printReply(const std::string& number, int result);

#endif  // ATE_SRC_CONSOLE_H_
