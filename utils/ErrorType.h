// Result codes of the command handlers. The host reads the value after "error info=" in an
// error reply, so the numbers are part of the protocol and never change.
#ifndef ATE_UTILS_ERRORTYPE_H_
#define ATE_UTILS_ERRORTYPE_H_

enum ErrorType {
  TYPE_SUCCESS = 0,
  // load without exactly 2 arguments, run without exactly 1.
  TYPE_THE_COMMAND_PARAMETER_WAS_ERROR = 1,
  // load with an empty library path (no command line can produce one).
  TYPE_PLEASE_LOAD_Q_PROJECT_FIRST = 2,
  // the platform refused to load the test project library.
  TYPE_LOAD_LIBRARY_WAS_FAILED = 3,
  // the library was loaded but exports no prj_init.
  LOSE_PRJ_INIT_FUNCTION = 4,
  // reserved; nothing produces it.
  LOSE_PRJ_EXIT_FUNCTION = 5,
  // internal to the execution loop, never in a reply.
  LOSE_TEST_START_FUNCTION = 6,
  LOSE_TEST_END_FUNCTION = 7,
  // load whose flow file is missing, unreadable or malformed.
  TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR = 0x1001,
  // run whose setting file is missing, unreadable or malformed.
  TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR = 0x1002,
  // run whose execution thread could not be started; nothing runs.
  TYPE_EXECUTE_THREAD_START_FAILED = 0x1003,
};

// Each code's name and what it means, for people: hosts show the sentence beside the code.
struct ErrorTypeText {
  int code;
  const char* name;
  const char* sentence;
};

inline constexpr ErrorTypeText ERROR_TYPE_TEXTS[] = {
    {TYPE_SUCCESS, "TYPE_SUCCESS", "done"},
    {TYPE_THE_COMMAND_PARAMETER_WAS_ERROR, "TYPE_THE_COMMAND_PARAMETER_WAS_ERROR",
     "wrong number of arguments"},
    {TYPE_PLEASE_LOAD_Q_PROJECT_FIRST, "TYPE_PLEASE_LOAD_Q_PROJECT_FIRST", "no library path"},
    {TYPE_LOAD_LIBRARY_WAS_FAILED, "TYPE_LOAD_LIBRARY_WAS_FAILED",
     "the test project library could not be loaded"},
    {LOSE_PRJ_INIT_FUNCTION, "LOSE_PRJ_INIT_FUNCTION",
     "the test project library exports no prj_init"},
    {LOSE_PRJ_EXIT_FUNCTION, "LOSE_PRJ_EXIT_FUNCTION",
     "the test project library exports no prj_exit"},
    {LOSE_TEST_START_FUNCTION, "LOSE_TEST_START_FUNCTION",
     "the test project library exports no test_start"},
    {LOSE_TEST_END_FUNCTION, "LOSE_TEST_END_FUNCTION",
     "the test project library exports no test_end"},
    {TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR, "TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR",
     "the flow file is missing, unreadable or malformed"},
    {TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR, "TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR",
     "the setting file is missing, unreadable or malformed"},
    {TYPE_EXECUTE_THREAD_START_FAILED, "TYPE_EXECUTE_THREAD_START_FAILED",
     "the execution thread could not be started"},
};

// The text of code, or null for a code the driver doesn't have.
inline const ErrorTypeText* findErrorType(int code) {
  for (const ErrorTypeText& text : ERROR_TYPE_TEXTS) {
    if (text.code == code) return &text;
  }
  return nullptr;
}

#endif  // ATE_UTILS_ERRORTYPE_H_
