// The least a command program can do, for the commands benchmark to compare the driver with:
// writes the driver's prompt line, then reads its standard input line by line and answers each
// line with one reply line ("N^done", N being the text before the first caret), flushed at once,
// until "exit" or the end of input.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
  std::fputs("input 'exit' exit process.\n", stdout);
  std::fflush(stdout);
  static char buffer[1 << 16];
  std::string line;
  for (;;) {
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) return 0;
    const char* start = buffer;
    const char* const end = buffer + count;
    while (start < end) {
      const char* newline = static_cast<const char*>(std::memchr(start, '\n', end - start));
      if (newline == nullptr) {
        line.append(start, end);
        break;
      }
      line.append(start, newline);
      start = newline + 1;
      if (line == "exit") return 0;
      std::string reply = line.substr(0, line.find('^'));
      reply += "^done\n";
      std::fwrite(reply.data(), 1, reply.size(), stdout);
      std::fflush(stdout);
      line.clear();
    }
  }
}
