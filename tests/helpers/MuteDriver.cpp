// A stand-in for the driver that misbehaves, for the station's tests. Writes the driver's prompt,
// then reads commands and answers none of them; ends with status 0 on "exit" and dies with
// status 3 on a stop command, as a driver that crashes would.
#include <cstdio>
#include <iostream>
#include <string>

int main() {
  std::cout << "input 'exit' exit process." << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "exit") return 0;
    if (line.find("qv -p stop") != std::string::npos) {
      std::cerr << "mute driver: giving up" << std::endl;
      return 3;
    }
  }
  return 0;
}
