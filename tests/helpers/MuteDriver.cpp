// A stand-in for the driver that misbehaves, for the host's and the station's tests. Writes the
// driver's prompt, then reads commands and answers none of them; ends with status 0 on "exit"
// and dies with status 3 on a stop command, as a driver that crashes would, its last words on
// standard error coming a little after its standard output has closed.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

int main() {
  std::cout << "input 'exit' exit process." << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "exit") return 0;
    if (line.find("qv -p stop") != std::string::npos) {
      std::cout.flush();
      std::fclose(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::cerr << "mute driver: giving up" << std::endl;
      return 3;
    }
  }
  return 0;
}
