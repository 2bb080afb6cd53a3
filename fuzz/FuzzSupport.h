// Helpers shared by the fuzz targets.
#ifndef ATE_FUZZ_FUZZSUPPORT_H_
#define ATE_FUZZ_FUZZSUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Writes data to the one input file of this process, in a directory of its own (under /dev/shm
// where it exists, else under the temporary directory) that is removed when the process ends
// normally; returns the file's path.
const std::string& writeInput(const std::uint8_t* data, std::size_t size);

// A finding: says what went wrong on standard error (even after silenceStderrStream) and
// aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const std::string& what);

// Sends standard output to /dev/null: the flow listing would otherwise fill the log.
void silenceStdout();

// Points the C stream stderr, which the driver's messages use, at /dev/null. The file
// descriptor stays as it is: libFuzzer and the sanitizers keep reporting there.
void silenceStderrStream();

}  // namespace fuzz

#endif  // ATE_FUZZ_FUZZSUPPORT_H_
