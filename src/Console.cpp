#include "src/Console.h"

#include "utils/Platform.h"
#include "utils/PrintHelper.h"

void printStartup() {
  for (int progress = 10; progress <= 100; progress += 10) {
    platform::sleepMilliseconds(100);
    printString("[process:", progress, "]");
  }
  writeLine(stdout, PROMPT_LINE);
}

void printReply(const std::string& number, int result) {
  // Composed by hand rather than through a text stream: the line is the same, and a reply is
  // written for every command, so it is worth the few lines.
  std::string reply = number;
  reply.push_back(COMMAND_MARK);
  if (result == 0) {
    reply.append(SUCCESS_STR);
  } else {
    reply.append(FAIL_STR).append(ERROR_INFO).append(std::to_string(result));
  }
  reply.push_back('\n');
  writeTerminatedLine(stdout, reply);
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
