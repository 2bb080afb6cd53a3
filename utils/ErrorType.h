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

#endif  // ATE_UTILS_ERRORTYPE_H_
