// The words of the driver's protocol on its standard streams: what the driver writes and what a
// host sends. The driver and every host (the host library in host/) take them from here, so the
// two sides can't drift apart.
#ifndef ATE_UTILS_PROTOCOL_H_
#define ATE_UTILS_PROTOCOL_H_

#include <string>
#include <string_view>

// A command line: the command number, COMMAND_MARK, a command text and its arguments, separated
// by single spaces: "7^qv -p run setting.json".
inline constexpr char COMMAND_MARK = '^';
// The line that ends the driver; it is no command and gets no reply.
inline const std::string EXIT_MARK = "exit";

// Reply lines: "N^done", "N^error,error info=CODE", and a run's "N^execute done" when its
// execution loop has ended.
inline const std::string SUCCESS_STR = "done";
inline const std::string FAIL_STR = "error";
inline constexpr std::string_view ERROR_INFO = ",error info=";
inline constexpr std::string_view EXECUTE_DONE = "execute done";

// The last line of the driver's start-up output: from here on it reads commands.
inline constexpr std::string_view PROMPT_LINE = "input 'exit' exit process.";
// Written by run before its reply once the execution thread is started.
inline constexpr std::string_view EXECUTE_LOOP_LINE = "executeLoop execute";

// Index of a command text in the table of valid commands.
enum CommandType { LOAD = 0, UNLOAD = 1, RUN = 2, STOP = 3, UNKNOWN = 4 };

// The valid command texts, in CommandType order.
inline constexpr std::string_view COMMAND_TEXTS[] = {"qv -p load", "qv -p unload", "qv -p run",
                                                     "qv -p stop"};

#endif  // ATE_UTILS_PROTOCOL_H_
