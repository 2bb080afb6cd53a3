#include "src/CommandParser.h"

#include <exception>
#include <iterator>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "src/CommandGrammar.h"
#include "utils/ErrorType.h"
#include "utils/PrintHelper.h"

const std::string EMPTY;
AtomicLibraryHandle hLib;
std::atomic<bool> exitFunc{false};

namespace {

// Calls a test project function. An exception it throws ends neither the driver nor the loop:
// it is reported on standard error, naming the function, and the call yields no result.
template <typename FunctionPointer, typename... Args>
std::optional<bool> callGuarded(const char* name, FunctionPointer function, Args&&... args) {
  try {
    return function(std::forward<Args>(args)...);
  } catch (const std::exception& error) {
    writeLine(stderr, std::string("Test project function ") + name +
                          " threw an exception: " + error.what());
  } catch (...) {
    writeLine(stderr, std::string("Test project function ") + name +
                          " threw an exception that is not a std::exception");
  }
  return std::nullopt;
}

// Reads a file through reader and turns every failure into an empty result, with one line on
// standard error that says which file and why.
template <typename Reader>
auto readDescriptionFile(const char* kind, const std::string& path, Reader reader)
    -> decltype(reader()) {
  try {
    return reader();
  } catch (const std::exception& error) {
    writeLine(stderr,
              std::string("Cannot read ") + kind + " file \"" + path + "\": " + error.what());
  } catch (...) {
    writeLine(stderr, std::string("Cannot read ") + kind + " file \"" + path + "\"");
  }
  return std::nullopt;
}

}  // namespace

CommandParser::CommandParser(DriverCommon common)
    : common(std::move(common)),
      validCommands(std::begin(COMMAND_TEXTS), std::end(COMMAND_TEXTS)) {}

bool CommandParser::parse(const std::string& input, ParsedCommand& result) const {
  CommandLayout layout;
  if (!matchCommandGrammar(input, layout)) {
    writeLine(stderr, "Invalid command: " + input);
    return false;
  }
  // (clear and append: the cheapest way to set a string that is short, as these are)
  result.number.clear();
  result.number.append(input, 0, layout.caret);

  // The command is its first three words joined by single spaces. The grammar puts exactly one
  // whitespace character after "qv" and after the option: copy the three at once, then make
  // those two characters spaces.
  std::string& command = result.fullCommand;
  command.clear();
  command.append(input, layout.caret + 1, layout.verbEnd - layout.caret - 1);
  command[2] = ' ';
  command[layout.optionEnd - layout.caret - 1] = ' ';

  // The arguments are the words of the rest, split at runs of whitespace.
  const std::string::size_type size = input.size();
  for (std::string::size_type i = layout.verbEnd; i < size;) {
    while (i < size && isCommandSpace(input[i])) ++i;
    const std::string::size_type start = i;
    while (i < size && !isCommandSpace(input[i])) ++i;
    if (i > start) result.args.emplace_back(input, start, i - start);
  }
  return true;
}

bool CommandParser::isValidCommand(const std::string& cmd) const {
  for (const std::string& valid : validCommands) {
    if (cmd == valid) return true;
  }
  return false;
}

CommandType CommandParser::string2command(const std::string& cmd) {
  for (std::size_t index = 0; index < validCommands.size(); ++index) {
    if (cmd == validCommands[index]) return static_cast<CommandType>(index);
  }
  return UNKNOWN;
}

int CommandParser::handleCommand(ParsedCommand& command) {
  int result = TYPE_SUCCESS;
  switch (string2command(command.fullCommand)) {
    case LOAD:
      result = loadDll(command.args);
      break;
    case UNLOAD:
      unloadDll();
      break;
    case RUN:
      result = runDll(command);
      break;
    case STOP:
      result = stopDll();
      break;
    case UNKNOWN:
      break;
  }
  return result;
}

int CommandParser::loadDll(std::vector<std::string> args) {
  if (args.size() != 2) return TYPE_THE_COMMAND_PARAMETER_WAS_ERROR;

  std::optional<FlowMessage> flow =
      readDescriptionFile("flow", args[1], [&] { return common.analysisFlowFile(args[1]); });
  if (!flow) return TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR;
  flowMessage = std::move(*flow);
  dllFilePath = args[0];
  if (dllFilePath == EMPTY) return TYPE_PLEASE_LOAD_Q_PROJECT_FIRST;

  // A library held before is replaced, not released: it stays loaded for the process's life.
  platform::LoadFailure failure;
  platform::LibraryHandle handle = platform::loadLibrary(dllFilePath, failure);
  if (handle == nullptr) {
    hLib.exchange(nullptr);
    writeLine(stdout, std::to_string(failure.code));
    writeLine(stderr, "Cannot load library \"" + dllFilePath + "\": " + failure.message);
    return TYPE_LOAD_LIBRARY_WAS_FAILED;
  }
  hLib.exchange(std::make_shared<ProjectLibrary>(handle));

  LibraryFunction<PrjInit> prjInit = findFunction<PrjInit>(hLib, "prj_init");
  if (!prjInit) return LOSE_PRJ_INIT_FUNCTION;
  callGuarded("prj_init", prjInit.function);
  return TYPE_SUCCESS;
}

void CommandParser::unloadDll() {
  // The release happens as soon as no execution thread is inside the library any more; from
  // now on every lookup finds nothing.
  if (std::shared_ptr<ProjectLibrary> library = hLib.exchange(nullptr)) {
    library->releaseWhenUnused();
  }
  dllFilePath = EMPTY;
}

int CommandParser::runDll(ParsedCommand& command) {
  if (command.args.size() != 1) return TYPE_THE_COMMAND_PARAMETER_WAS_ERROR;

  const std::string& path = command.args[0];
  std::optional<Setting> read =
      readDescriptionFile("setting", path, [&] { return common.analysisSettingFile(path); });
  if (!read) return TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR;
  setting = std::move(*read);

  try {
    // The thread must not end before it is detached. MinGW's thread library hands the record of
    // a thread that ended while still joinable to the next new thread as soon as it is detached,
    // while the ended thread may still be winding down with that record: it then spoils the new
    // thread's, which hangs at its next use of thread-local data (an exception, for one).
    std::promise<void> detached;
    std::thread thread(&CommandParser::executeLoopAllFunc, Configure(flowMessage, setting),
                       command.number, detached.get_future());
    thread.detach();
    detached.set_value();
  } catch (const std::system_error& error) {
    writeLine(stderr, std::string("Cannot start the execution thread: ") + error.what());
    return TYPE_EXECUTE_THREAD_START_FAILED;
  }
  writeLine(stdout, EXECUTE_LOOP_LINE);
  return TYPE_SUCCESS;
}

int CommandParser::stopDll() {
  exitFunc = true;
  return TYPE_SUCCESS;
}

namespace {

// Slots of the execution thread's lookups: the two hooks, then one per test item.
constexpr std::size_t TEST_START_SLOT = 0;
constexpr std::size_t TEST_END_SLOT = 1;
constexpr std::size_t FIRST_ITEM_SLOT = 2;

}  // namespace

void CommandParser::executeLoopAllFunc(const Configure& configure, std::string number,
                                       std::future<void> detached) {
  exitFunc = false;
  const DUTSetting dutSetting = configure.setting.dutSetting;
  const ExecuteSetting executeSetting = configure.setting.executeSetting;
  const int loop = executeSetting.loopcount;
  LibraryLookups lookups(hLib, FIRST_ITEM_SLOT + configure.flowMessage.testItems.size());

  // The stop flag is seen only between passes: a pass always runs to its end.
  if (loop == 0) {
    while (!exitFunc) {
      if (!callFuncs(configure, dutSetting, lookups)) break;
    }
  } else {
    for (int i = 0; i < loop; ++i) {
      if (exitFunc) break;
      if (!callFuncs(configure, dutSetting, lookups)) break;
    }
  }
  // A library that unload gave up is released before the loop reports its end.
  lookups.release();
  printString(number, COMMAND_MARK, EXECUTE_DONE);
  if (detached.valid()) detached.wait();
}

bool CommandParser::callFuncs(const Configure& configure, const DUTSetting& dutSetting,
                              LibraryLookups& lookups) {
  if (testStart(dutSetting, lookups) != TYPE_SUCCESS) return false;
  executeAllFunc(configure, lookups);
  return testEnd(lookups) == TYPE_SUCCESS;
}

int CommandParser::testStart(const DUTSetting& dutSetting, LibraryLookups& lookups) {
  static const std::string name = "test_start";
  const TestStart start = lookups.find<TestStart>(TEST_START_SLOT, name);
  if (!start) return LOSE_TEST_START_FUNCTION;
  callGuarded("test_start", start, dutSetting);
  return TYPE_SUCCESS;
}

int CommandParser::testEnd(LibraryLookups& lookups) {
  static const std::string name = "test_end";
  const TestEnd end = lookups.find<TestEnd>(TEST_END_SLOT, name);
  if (!end) return LOSE_TEST_END_FUNCTION;
  callGuarded("test_end", end);
  return TYPE_SUCCESS;
}

void CommandParser::executeAllFunc(const Configure& configure, LibraryLookups& lookups) {
  const bool failstop = configure.setting.executeSetting.failstop;
  // The configure is this thread's own and never changes, so the items are walked in place.
  const std::vector<TestItem>& items = configure.flowMessage.testItems;
  for (std::size_t index = 0; index < items.size(); ++index) {
    const TestItem& item = items[index];
    if (!item.select) continue;
    const FunctionTypeStr test =
        lookups.find<FunctionTypeStr>(FIRST_ITEM_SLOT + index, item.funcName);
    if (!test) {
      writeLine(stderr, "Failed to get function address");
      continue;
    }
    // An exception counts as a failed test.
    const bool passed = callGuarded(item.funcName.c_str(), test, configure).value_or(false);
    if (failstop && !passed) break;
  }
}
