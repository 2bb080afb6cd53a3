#include "Console.h"

#include "Platform.h"
#include "PrintHelper.h"

void printStartup() {
  for (int progress = 10; progress <= 100; progress += 10) {
    platform::sleepMilliseconds(100);
    printString("[process:", progress, "]");
  }
  writeLine(stdout, "input 'exit' exit process.");
}

void printReply(const std::string& number, int result) {
  if (result == 0) {
    printString(number, COMMAND_MARK, SUCCESS_STR);
  } else {
    printString(number, COMMAND_MARK, FAIL_STR, ",", "error info=", result);
  }
}

int runCommandLoop(CommandParser& parser, LineReader& input) {
  std::string line;
  while (input.next(line)) {
    if (line == EXIT_MARK) return 0;
    if (line.empty()) continue;

    ParsedCommand command;
    if (!parser.parse(line, command)) {
      writeLine(stderr, "Command format is error.");
      continue;
    }
    if (!parser.isValidCommand(command.fullCommand)) {
      writeLine(stderr, "Unknown command: " + command.fullCommand);
      continue;
    }
    printReply(command.number, parser.handleCommand(command));
  }
  return 0;
}
