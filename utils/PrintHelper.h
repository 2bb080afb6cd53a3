// Line output shared by every thread of the driver.
//
// Every line goes out whole: its text and its line break in one write on the stream, then a
// flush. The standard streams serialise each write, so a line written here is never split by
// output of another thread (an execution thread, or a test project function printing through
// the same C stream). No lock is held between lines, so the order of lines from different
// threads is not fixed.
#ifndef ATE_UTILS_PRINTHELPER_H_
#define ATE_UTILS_PRINTHELPER_H_

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

// Writes text plus a line break to stream in one operation and flushes it. Safe from any thread.
void writeLine(std::FILE* stream, std::string_view text);

// The same for a line composed by the caller that already ends with its line break.
void writeTerminatedLine(std::FILE* stream, std::string_view line);

// Composes the arguments, in order and without separators, as a text stream prints them, and
// writes the result to standard output as one whole line. Used for reply lines.
template <typename... Args>
void printString(const Args&... args) {
  std::ostringstream line;
  (line << ... << args);
  writeLine(stdout, line.str());
}

#endif  // ATE_UTILS_PRINTHELPER_H_
