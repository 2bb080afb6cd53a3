// Line output of the chanmap library; internal, not exported.
#ifndef ATE_CHANMAP_LINEOUTPUT_H_
#define ATE_CHANMAP_LINEOUTPUT_H_

#include <string_view>

namespace chanmap_internal {

// Writes text and a line break to standard output in one fwrite, then flushes. The C stream
// locks itself for each call, so a line is never split by output of another thread.
void writeLine(std::string_view text);

}  // namespace chanmap_internal

#endif  // ATE_CHANMAP_LINEOUTPUT_H_
