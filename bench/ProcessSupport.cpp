#include "bench/ProcessSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "utils/Protocol.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

ChildProcess::Options optionsFor(const std::vector<std::string>& argv) {
  ChildProcess::Options options;
  options.argv = argv;
  return options;
}

// The child of this process that runs program; -1 when there is none.
int findChild(const std::string& program) {
  const std::string wanted = fs::canonical(program).string();
  const std::string parent = std::to_string(getpid());
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    // "PID (COMMAND) STATE PPID ...": the command may hold spaces and parentheses.
    const std::string::size_type close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::string state, ppid;
    std::istringstream rest(text.substr(close + 1));
    if (!(rest >> state >> ppid) || ppid != parent) continue;
    std::error_code error;
    const fs::path executable = fs::read_symlink(entry.path() / "exe", error);
    if (!error && executable.string() == wanted) return std::atoi(name.c_str());
  }
  return -1;
}

}  // namespace

Program::Program(const std::vector<std::string>& argv) : process_(optionsFor(argv)) {
  until(std::string(PROMPT_LINE));
  id_ = findChild(argv.at(0));
}

Program::~Program() = default;

void Program::write(const std::string& text) {
  if (!process_.write(text)) throw std::runtime_error("the program stopped reading");
}

std::string Program::line() {
  std::optional<std::string> line = process_.readLine(ChildProcess::Stream::out, LINE_TIMEOUT);
  if (!line) throw std::runtime_error("no line from the program in time");
  return *line;
}

void Program::until(const std::string& last) {
  while (line() != last) {
  }
}

long Program::residentKiB() const {
  std::ifstream status("/proc/" + std::to_string(id_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  throw std::runtime_error("no VmRSS for process " + std::to_string(id_));
}

void exitDriver(Program& driver) {
  driver.write(EXIT_MARK + "\n");
  driver.process().wait(LINE_TIMEOUT);
}

}  // namespace bench
