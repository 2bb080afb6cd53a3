// The port of a station started with "--listen 127.0.0.1:0", from the address it prints first.
#ifndef ATE_TESTS_SUPPORT_STATIONADDRESS_H_
#define ATE_TESTS_SUPPORT_STATIONADDRESS_H_

#include <optional>
#include <regex>
#include <string>

#include "host/ChildProcess.h"
#include "tests/support/DriverSession.h"

// 0 when the first line (in banner) names no loopback address.
inline int readStationPort(ChildProcess& station, std::string& banner) {
  const std::optional<std::string> line = station.readLine(ChildProcess::Stream::out, TEST_TIMEOUT);
  banner = line.value_or("<none>");
  std::smatch port;
  if (!line || !std::regex_search(*line, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/"))) return 0;
  return std::stoi(port[1]);
}

#endif  // ATE_TESTS_SUPPORT_STATIONADDRESS_H_
