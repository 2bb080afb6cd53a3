// Grammar: matchesCommandGrammar and CommandParser::parse on a typical command line and on
// lines of 1 KiB, 1 MiB and 64 MiB, as time per byte: it should stay flat as lines grow.
#include <benchmark/benchmark.h>

#include <map>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "src/CommandGrammar.h"
#include "src/CommandParser.h"

namespace {

const std::string TYPICAL = "12^qv -p load /opt/ate/projects/pmic.so /opt/ate/projects/pmic.json";

// A load command whose argument words fill the line up to bytes (at least the typical line).
const std::string& lineOf(std::size_t bytes) {
  static std::map<std::size_t, std::string> lines;
  std::string& line = lines[bytes];
  if (line.empty()) {
    line = TYPICAL;
    while (line.size() < bytes) line += " argument_word_" + std::to_string(line.size() % 10);
    line.resize(std::max(bytes, TYPICAL.size()));
    if (line.back() == ' ') line.back() = 'x';
  }
  return line;
}

// A stop command whose one argument fills the line up to bytes: one long word.
const std::string& oneWordLineOf(std::size_t bytes) {
  static std::map<std::size_t, std::string> lines;
  std::string& line = lines[bytes];
  if (line.empty()) {
    line = "1^qv -p stop ";
    line.resize(std::max(bytes, line.size() + 1), 'x');
  }
  return line;
}

void grammar(benchmark::State& state) {
  const std::string& line = lineOf(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    bool matched = matchesCommandGrammar(line);
    benchmark::DoNotOptimize(matched);
    if (!matched) state.SkipWithError("the line must match");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

void parse(benchmark::State& state) {
  const std::string& line = lineOf(static_cast<std::size_t>(state.range(0)));
  const CommandParser parser{DriverCommon()};
  for (auto _ : state) {
    ParsedCommand command;
    bool parsed = parser.parse(line, command);
    benchmark::DoNotOptimize(parsed);
    benchmark::DoNotOptimize(command);
    if (!parsed) state.SkipWithError("the line must parse");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

void parseOneWord(benchmark::State& state) {
  const std::string& line = oneWordLineOf(static_cast<std::size_t>(state.range(0)));
  const CommandParser parser{DriverCommon()};
  for (auto _ : state) {
    ParsedCommand command;
    bool parsed = parser.parse(line, command);
    benchmark::DoNotOptimize(parsed);
    benchmark::DoNotOptimize(command);
    if (!parsed || command.args.size() != 1) state.SkipWithError("the line must parse");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

const std::int64_t SIZES[] = {static_cast<std::int64_t>(TYPICAL.size()), 1 << 10, 1 << 20,
                              64 << 20};

void sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("bytes");
  for (std::int64_t size : SIZES) benchmark->Arg(size);
}

BENCHMARK(grammar)->Apply(sizes);
BENCHMARK(parse)->Apply(sizes);
BENCHMARK(parseOneWord)->ArgName("bytes")->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20);

const char* sizeName(std::int64_t size) {
  switch (size) {
    case 1 << 10:
      return "1 KiB line";
    case 1 << 20:
      return "1 MiB line";
    case 64 << 20:
      return "64 MiB line";
    default:
      return "typical line";
  }
}

// Time per byte of every size, and how the largest line's compares with the 1 KiB line's.
void perByte(std::ostream& out, const bench::Times& times) {
  struct Function {
    const char* benchmark;
    const char* label;
  };
  const Function functions[] = {{"grammar", "matchesCommandGrammar"},
                                {"parse", "CommandParser::parse, words of 16 bytes"},
                                {"parseOneWord", "CommandParser::parse, one long word"}};
  for (const Function& function : functions) {
    std::map<std::int64_t, double> nanosecondsPerByte;
    for (std::int64_t size : SIZES) {
      const auto found =
          times.find(std::string(function.benchmark) + "/bytes:" + std::to_string(size));
      if (found == times.end()) continue;
      nanosecondsPerByte[size] = found->second / static_cast<double>(size);
      bench::printFigure(out,
                         std::string(function.label) + ", " + sizeName(size) + " (" +
                             std::to_string(size) + " bytes)",
                         nanosecondsPerByte[size], "ns/byte");
    }
    if (nanosecondsPerByte.count(64 << 20) && nanosecondsPerByte.count(1 << 10)) {
      bench::printFigure(out,
                         std::string(function.label) + ": time per byte, 64 MiB line / 1 KiB line",
                         nanosecondsPerByte[64 << 20] / nanosecondsPerByte[1 << 10]);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  return bench::runWithRatios(argc, argv, quiet.console(), {}, perByte);
}
