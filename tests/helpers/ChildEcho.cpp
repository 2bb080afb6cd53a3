// A child program for the tests of ChildProcess. Writes each of its arguments on standard output
// as one line in brackets, then every line of standard input prefixed with "in:", then "bye" on
// standard error, and ends with the number of arguments as its status. Stays silent if its first
// argument is "--wait" until standard input ends; with "--close-out", closes standard output
// first. With "--raw" first, writes the other arguments
// as lines of which the last has no line end, and ends. With ATE_ECHO_ENV set, its value comes
// first, as "env:VALUE".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--close-out") == 0) std::fclose(stdout);
  if (argc > 1 &&
      (std::strcmp(argv[1], "--wait") == 0 || std::strcmp(argv[1], "--close-out") == 0)) {
    while (std::getchar() != EOF) {
    }
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--raw") == 0) {
    for (int i = 2; i < argc; ++i) std::cout << argv[i] << (i + 1 < argc ? "\n" : "");
    return 0;
  }
  if (const char* value = std::getenv("ATE_ECHO_ENV")) std::cout << "env:" << value << '\n';
  for (int i = 1; i < argc; ++i) std::cout << '[' << argv[i] << "]\n";
  std::cout.flush();
  for (std::string line; std::getline(std::cin, line);) std::cout << "in:" << line << '\n';
  std::cout.flush();
  std::cerr << "bye\n";
  return argc - 1;
}
