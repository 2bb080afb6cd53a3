// ate-station: the operator's page. Starts the driver, keeps one session with it and serves a
// page and a JSON API through which an operator loads, runs, stops and watches test projects.
//
//   ate-station [--projects DIR] [--datalogs DIR] [--listen ADDR:PORT] [--token SECRET]
//               [--driver PATH] [--timeout SECS]
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "AteVersion.h"
#include "host/CommandLine.h"
#include "station/DatalogPanel.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationServer.h"
#include "station/StationSession.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Lines of driver output the station keeps for the page.
constexpr std::size_t KEPT_LINES = 10000;

volatile std::sig_atomic_t signalled = 0;

extern "C" void onSignal(int) { signalled = 1; }

#ifdef _WIN32
std::atomic<bool> finished{false};

// Ctrl-C and Ctrl-Break, and the console window closing or the session ending, which end the
// process as soon as this returns: those wait a little for the driver's exit.
BOOL WINAPI onConsoleEvent(DWORD event) {
  signalled = 1;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    for (int i = 0; i < 90 && !finished; ++i) Sleep(50);
  }
  return TRUE;
}
#endif

void usage() {
  std::fputs(
      "usage: ate-station [--version] [--projects DIR] [--datalogs DIR] [--listen ADDR:PORT]\n"
      "                   [--token SECRET] [--driver PATH] [--timeout SECS]\n"
      "  --projects DIR     the test programs, one subfolder each (default: projects)\n"
      "  --datalogs DIR     where the driver writes its datalogs (default: datalog)\n"
      "  --listen ADDR:PORT where the page is served (default: 127.0.0.1:8080; port 0: any)\n"
      "  --token SECRET     required for any address but loopback; every request carries it\n"
      "  --driver PATH      the driver program (default: the one beside this program)\n"
      "  --timeout SECS     how long to wait for each reply of the driver (default: 10)\n",
      stderr);
}

bool parseListen(const std::string& text, ServerOptions& options) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  char* end = nullptr;
  const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || port < 0 || port > 65535) return false;
  options.host = host;
  options.port = static_cast<int>(port);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions server;
  SessionOptions session;
  session.driver = host::programBeside(argv[0], "driver");
  std::string projects = "projects";
  std::string datalogs = "datalog";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      usage();
      return 0;
    } else if (arg == "--version") {
      std::printf("ate-station %s\n", ATE_VERSION);
      return 0;
    } else if (arg == "--projects" && hasValue) {
      projects = argv[++i];
    } else if (arg == "--datalogs" && hasValue) {
      datalogs = argv[++i];
    } else if (arg == "--listen" && hasValue && parseListen(argv[i + 1], server)) {
      ++i;
    } else if (arg == "--token" && hasValue) {
      server.token = argv[++i];
    } else if (arg == "--driver" && hasValue) {
      session.driver = argv[++i];
    } else if (arg == "--timeout" && hasValue) {
      const std::optional<std::chrono::milliseconds> timeout = host::parseSeconds(argv[++i]);
      if (!timeout || timeout->count() == 0) {
        usage();
        return 64;
      }
      session.replyTimeout = *timeout;
    } else {
      usage();
      return 64;
    }
  }
  if (!isLoopback(server.host) && server.token.empty()) {
    std::fprintf(stderr,
                 "ate-station: listening on %s needs --token: anyone who reaches it could "
                 "drive the station\n",
                 server.host.c_str());
    return 64;
  }
  if (!std::filesystem::is_directory(projects)) {
    std::fprintf(stderr, "ate-station: no projects folder at %s\n", projects.c_str());
    return 64;
  }
  session.datalogDir = std::filesystem::absolute(datalogs).u8string();

  EventLog log(KEPT_LINES);
  ProjectCatalog catalog(projects, ATE_LIBRARY_SUFFIX);
  DatalogPanel datalog(session.datalogDir);
  StationSession driver(session, log);
  StationServer station(server, catalog, driver, log, datalog);
  std::string error;
  const int port = station.bind(error);
  if (port < 0) {
    std::fprintf(stderr, "ate-station: %s\n", error.c_str());
    return 1;
  }
#ifdef _WIN32
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
#endif
  const std::string shown =
      server.host.find(':') != std::string::npos ? "[" + server.host + "]" : server.host;
  std::printf("ate-station: open http://%s:%d/%s\n", shown.c_str(), port,
              server.token.empty() ? "" : "?token=...");
  std::fflush(stdout);
  driver.start();

  std::thread serving([&] { station.serve(); });
  // The datalog is read here, a few times a second, so that no request waits for the disk.
  while (signalled == 0) {
    if (datalog.update()) log.touch();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("ate-station: stopping\n");
  std::fflush(stdout);
  driver.exit(std::chrono::seconds(5));
  station.stop();
  serving.join();
  const std::optional<int> status = driver.state().exitStatus;
  std::printf("ate-station: stopped; the driver ended %s\n",
              status ? ("with status " + std::to_string(*status)).c_str() : "without a status");
  std::fflush(stdout);
#ifdef _WIN32
  finished = true;
#endif
  return 0;
}
