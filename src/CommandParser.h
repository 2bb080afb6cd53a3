// The driver's command object: the grammar of a command line, the table of valid commands, and
// the handlers of load, unload, run and stop with the execution loop that run starts.
#ifndef ATE_SRC_COMMANDPARSER_H_
#define ATE_SRC_COMMANDPARSER_H_

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "src/ProjectLibrary.h"
#include "utils/CommonStruct.h"
#include "utils/DriverCommon.h"
#include "utils/Protocol.h"

// What a test project library exports, under these plain (undecorated) names:
using PrjInit = bool (*)();                   // "prj_init", once after load, main thread
using TestStart = bool (*)(DUTSetting);       // "test_start", at the start of every pass
using TestEnd = bool (*)();                   // "test_end", at the end of every started pass
using FunctionTypeStr = bool (*)(Configure);  // each test item's funcName; true = pass

// A command line split into its parts.
struct ParsedCommand {
  std::string number;             // the digits before the caret, as sent
  std::string fullCommand;        // the first three words, joined by single spaces
  std::vector<std::string> args;  // the remaining words, in order
};

// CommandType, the index of a command text in the table of valid commands, is the protocol's
// (utils/Protocol.h).

// Process-wide state shared by the handlers and the execution threads.
extern const std::string EMPTY;  // dllFilePath when no library path is set
// The library that every lookup searches. Atomic: written by the main thread, read by execution
// threads at each lookup.
extern AtomicLibraryHandle hLib;
// The stop flag: set by stop, cleared by each execution loop as it begins, read before each
// pass. Atomic for the same reason; nothing else is shared between the threads.
extern std::atomic<bool> exitFunc;

// Lives for the whole process on the main thread, which alone calls its public methods. The
// execution threads it starts work on their own copies of the flow and the setting and touch
// nothing of it.
class CommandParser {
 public:
  explicit CommandParser(DriverCommon common);

  // Checks input against the grammar and splits it into result. False, with a message on
  // standard error, when the line doesn't match.
  bool parse(const std::string& input, ParsedCommand& result) const;

  // Whether cmd is one of the valid command texts, exactly.
  bool isValidCommand(const std::string& cmd) const;

  // Runs the handler of command.fullCommand; returns its ErrorType code.
  int handleCommand(ParsedCommand& command);

 private:
  CommandType string2command(const std::string& cmd);

  int loadDll(std::vector<std::string> args);
  void unloadDll();
  int runDll(ParsedCommand& command);
  int stopDll();

  // The execution loop and its parts. They run on the execution thread and use nothing but
  // their arguments, hLib and exitFunc. The loop returns only once detached (when given) is
  // ready. Every function is looked up in the library hLib holds
  // at the moment of the call, through the thread's own lookups.
  static void executeLoopAllFunc(const Configure& configure, std::string number,
                                 std::future<void> detached = {});
  static bool callFuncs(const Configure& configure, const DUTSetting& dutSetting,
                        LibraryLookups& lookups);
  static int testStart(const DUTSetting& dutSetting, LibraryLookups& lookups);
  static int testEnd(LibraryLookups& lookups);
  static void executeAllFunc(const Configure& configure, LibraryLookups& lookups);

  // The benchmarks (bench/DispatchBenchmark.cpp) drive the execution loop in their own process.
  friend class ExecutionBenchmark;

  DriverCommon common;
  FlowMessage flowMessage;
  Setting setting;
  std::string dllFilePath;
  std::vector<std::string> validCommands;
};

#endif  // ATE_SRC_COMMANDPARSER_H_
