// driver: runs test project libraries for a controlling host, which drives it through its
// standard streams.
#include "src/CommandParser.h"
#include "src/Console.h"
#include "utils/DriverCommon.h"
#include "utils/Platform.h"

DriverCommon common;
CommandParser parser(common);

int main() {
  platform::prepareStandardStreams();
  printStartup();
  LineReader input(platform::readStandardInput);
  const int status = runCommandLoop(parser, input);
  // Execution loops still running end with the process; nothing waits for them, and no
  // destructor runs under them.
  platform::exitProcess(status);
}
