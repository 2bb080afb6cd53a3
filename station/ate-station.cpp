// ate-station: the operator's page. Starts the driver, keeps one session with it and serves a
// page and a JSON API through which an operator loads, runs, stops and watches test projects.
//
// With accounts, every request needs a session or a token, and each role may do only its own part;
// lots run released programs. usage() lists every option; `ate-station users` and `ate-station
// audit` manage the accounts and check the audit trail.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "AteVersion.h"
#include "host/CommandLine.h"
#include "station/DatalogPanel.h"
#include "station/Delivery.h"
#include "station/DriverPidFile.h"
#include "station/EventLog.h"
#include "station/HandlerLink.h"
#include "station/Platform.h"
#include "station/ProjectCatalog.h"
#include "station/StationCommands.h"
#include "station/StationServer.h"
#include "station/StationSession.h"
#include "station/access/AccessControl.h"
#include "station/access/AuditTrail.h"
#include "station/access/Releases.h"
#include "station/gem/StationGem.h"
#include "station/lot/LotController.h"

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
      "                   [--accounts FILE] [--audit FILE] [--session-idle MINUTES]\n"
      "                   [--tls-cert FILE --tls-key FILE] [--insecure-network]\n"
      "                   [--driver PATH] [--timeout SECS]\n"
      "                   [--handler HOST:PORT [--lot FILE [--exit-after-lot]] [--no-resume]]\n"
      "                   [--deliver DEST [--deliver-credentials FILE] [--spool DIR]]\n"
      "  --projects DIR     the test programs, one subfolder each (default: projects)\n"
      "  --datalogs DIR     where the driver writes its datalogs (default: datalog)\n"
      "  --listen ADDR:PORT where the page is served (default: 127.0.0.1:8080; port 0: any)\n"
      "  --accounts FILE    the accounts (default: accounts.json); once one exists, nothing is\n"
      "                     done without logging in. Released programs go beside it.\n"
      "  --audit FILE       the audit trail (default: DATALOGS/audit.jsonl)\n"
      "  --session-idle MINUTES  a page's session ends unused after this (default: 30)\n"
      "  --tls-cert FILE, --tls-key FILE  serve over TLS 1.2 or later with this certificate\n"
      "                     (its chain too) and key, PEM\n"
      "  --insecure-network listen beyond loopback without TLS or accounts all the same\n"
      "  --driver PATH      the driver program (default: the one beside this program)\n"
      "  --timeout SECS     how long to wait for each reply of the driver (default: 10)\n"
      "  --handler HOST:PORT  the handler (or prober) that feeds lots (docs/handler.md)\n"
      "  --lot FILE         start this lot (the JSON of POST /api/lot/start) once the driver is\n"
      "                     ready\n"
      "  --exit-after-lot   end the station once that lot (or one resumed) has ended\n"
      "  --no-resume        don't resume a lot left unfinished in the datalogs folder; its\n"
      "                     journal is kept aside\n"
      "  --deliver DEST     deliver finished lots' datalogs to a folder or a URL (sftp://,\n"
      "                     ftp://, http(s)://), through the spool (docs/fleet.md)\n"
      "  --deliver-credentials FILE  user:password for DEST, in a file only its owner reads\n"
      "  --spool DIR        where datalogs wait to be delivered (default: DATALOGS/spool)\n"
      "  --gem ADDR:PORT    serve the factory's host over SECS/GEM (HSMS-SS), listening here\n"
      "  --gem-connect HOST:PORT  the same, connecting to the host instead (HSMS active)\n"
      "  --gem-control offline|local|remote  the control state at start (default: local)\n"
      "  --gem-device-id N  the session's device id (default: 0)\n"
      "  --gem-timers T3,T5,T6,T7,T8  HSMS timers in seconds (default: 45,10,5,10,5)\n"
      "                     (docs/gem.md)\n"
      "       ate-station users add|passwd|role|remove|list ...   (ate-station users --help)\n"
      "       ate-station audit verify FILE [--anchors DATALOG...]\n",
      stderr);
}

// "HOST:PORT", "[::1]:PORT".
bool parseAddress(const std::string& text, std::string& host, int& port) {
  const std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  char* end = nullptr;
  const long number = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || number < 0 || number > 65535) {
    return false;
  }
  port = static_cast<int>(number);
  return true;
}

// "T3,T5,T6,T7,T8" in seconds, each above 0.
bool parseTimers(const std::string& text, HsmsOptions& link) {
  std::chrono::milliseconds* timers[] = {&link.t3, &link.t5, &link.t6, &link.t7, &link.t8};
  std::size_t from = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    const std::size_t comma = text.find(',', from);
    if ((comma == std::string::npos) != (i == 4)) return false;
    const std::optional<std::chrono::milliseconds> value =
        host::parseSeconds(text.substr(from, comma == std::string::npos ? comma : comma - from));
    if (!value || value->count() == 0) return false;
    *timers[i] = *value;
    from = comma + 1;
  }
  return true;
}

void say(const std::string& line) {
  std::printf("ate-station: %s\n", line.c_str());
  std::fflush(stdout);
}

// The accounts and released programs, and whether the station may serve as asked: TLS needs both
// its files, a key that is its owner's alone; anything but loopback needs TLS and accounts,
// unless the operator said --insecure-network. False after saying why.
bool checkAccess(const ServerOptions& server, const std::string& accountsFile, Accounts& accounts,
                 Releases& releases) {
  std::string error;
  if (server.tlsCert.empty() != server.tlsKey.empty()) {
    std::fputs("ate-station: TLS needs both --tls-cert and --tls-key\n", stderr);
    return false;
  }
  for (const auto& [file, what] :
       {std::pair(server.tlsCert, "certificate"), std::pair(server.tlsKey, "key")}) {
    std::error_code failure;
    if (!file.empty() && !std::filesystem::is_regular_file(file, failure)) {
      std::fprintf(stderr, "ate-station: cannot read the %s %s: no such file\n", what,
                   file.c_str());
      return false;
    }
  }
  if (!server.tlsKey.empty() && !station_platform::ownerOnly(server.tlsKey)) {
    std::fprintf(stderr,
                 "ate-station: %s may be read by others than its owner: a TLS key must not "
                 "(chmod 600 it)\n",
                 server.tlsKey.c_str());
    return false;
  }
  if (!accounts.load(accountsFile, error) ||
      !releases.load(std::filesystem::path(accountsFile).parent_path() / "releases.json", error)) {
    std::fprintf(stderr, "ate-station: %s\n", error.c_str());
    return false;
  }
  if (!isLoopback(server.host) && (server.tlsCert.empty() || accounts.empty()) &&
      !server.insecureNetwork) {
    std::fprintf(stderr,
                 "ate-station: listening on %s needs TLS (--tls-cert, --tls-key) and accounts "
                 "(ate-station users add): anyone who reaches it could drive the station, and "
                 "read what goes by (--insecure-network to do it all the same)\n",
                 server.host.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::string(argv[1]) == "users" || std::string(argv[1]) == "audit")) {
    const std::vector<std::string> args(argv + 2, argv + argc);
    return std::string(argv[1]) == "users" ? usersCommand(args) : auditCommand(args);
  }
  ServerOptions server;
  std::string accountsFile = "accounts.json", auditFile;
  std::chrono::minutes idle(30);
  SessionOptions session;
  session.driver = host::programBeside(argv[0], "driver");
  std::string projects = "projects";
  std::string datalogs = "datalog";
  HandlerLinkOptions handler;
  handler.version = ATE_VERSION;
  std::string lotFile, deliver, credentialsFile, spool;
  bool exitAfterLot = false;
  bool resume = true;
  bool gemOn = false;
  gem::GemOptions gemOptions;
  gemOptions.softwareRevision = ATE_VERSION;
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
    } else if (arg == "--listen" && hasValue &&
               parseAddress(argv[i + 1], server.host, server.port)) {
      ++i;
    } else if (arg == "--handler" && hasValue &&
               parseAddress(argv[i + 1], handler.host, handler.port) && handler.port > 0) {
      ++i;
    } else if (arg == "--lot" && hasValue) {
      lotFile = argv[++i];
    } else if (arg == "--exit-after-lot") {
      exitAfterLot = true;
    } else if (arg == "--no-resume") {
      resume = false;
    } else if ((arg == "--gem" || arg == "--gem-connect") && hasValue &&
               parseAddress(argv[i + 1], gemOptions.link.host, gemOptions.link.port)) {
      ++i;
      gemOn = true;
      gemOptions.link.active = arg == "--gem-connect";
    } else if (arg == "--gem-control" && hasValue && parseControl(argv[i + 1])) {
      gemOptions.initial = *parseControl(argv[++i]);
    } else if (arg == "--gem-device-id" && hasValue && std::atoi(argv[i + 1]) >= 0 &&
               std::atoi(argv[i + 1]) < 32768) {
      gemOptions.link.deviceId = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--gem-timers" && hasValue && parseTimers(argv[i + 1], gemOptions.link)) {
      ++i;
    } else if (arg == "--deliver" && hasValue) {
      deliver = argv[++i];
    } else if (arg == "--deliver-credentials" && hasValue) {
      credentialsFile = argv[++i];
    } else if (arg == "--spool" && hasValue) {
      spool = argv[++i];
    } else if (arg == "--accounts" && hasValue) {
      accountsFile = argv[++i];
    } else if (arg == "--audit" && hasValue) {
      auditFile = argv[++i];
    } else if (arg == "--session-idle" && hasValue && std::atoi(argv[i + 1]) > 0) {
      idle = std::chrono::minutes(std::atoi(argv[++i]));
    } else if (arg == "--tls-cert" && hasValue) {
      server.tlsCert = argv[++i];
    } else if (arg == "--tls-key" && hasValue) {
      server.tlsKey = argv[++i];
    } else if (arg == "--insecure-network") {
      server.insecureNetwork = true;
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
  Accounts accounts;
  Releases releases;
  AuditTrail audit;
  if (!checkAccess(server, accountsFile, accounts, releases)) return 64;
  if (!std::filesystem::is_directory(projects)) {
    std::fprintf(stderr, "ate-station: no projects folder at %s\n", projects.c_str());
    return 64;
  }
  if ((!lotFile.empty() || exitAfterLot) && handler.host.empty()) {
    std::fprintf(stderr, "ate-station: --lot and --exit-after-lot need --handler\n");
    return 64;
  }
  LotRequest startingLot;
  if (!lotFile.empty()) {
    std::ifstream in(lotFile, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!in || !parseLotRequest(text, startingLot, error)) {
      std::fprintf(stderr, "ate-station: the lot %s: %s\n", lotFile.c_str(),
                   in ? error.c_str() : "cannot be read");
      return 64;
    }
  }
  std::string credentials;
  std::unique_ptr<Transport> transport;
  if (!deliver.empty()) {
    std::string error;
    if (!credentialsFile.empty() && !readCredentials(credentialsFile, credentials, error)) {
      std::fprintf(stderr, "ate-station: %s\n", error.c_str());
      return 64;
    }
    transport = makeTransport(deliver, credentials, error);
    if (!transport) {
      std::fprintf(stderr, "ate-station: --deliver %s: %s\n", deliver.c_str(), error.c_str());
      return 64;
    }
  }
  const std::filesystem::path datalogFolder = std::filesystem::absolute(datalogs);
  session.datalogDir = datalogFolder.u8string();
  {
    std::string error;
    if (!audit.open(
            auditFile.empty() ? datalogFolder / "audit.jsonl" : std::filesystem::path(auditFile),
            error)) {
      std::fprintf(stderr, "ate-station: %s\n", error.c_str());
      return 64;
    }
  }
  if (!lotFile.empty() && !accounts.empty() && startingLot.release.empty()) {
    std::fprintf(stderr,
                 "ate-station: the lot %s: lots run released programs only (name a "
                 "release and revision)\n",
                 lotFile.c_str());
    return 64;
  }
  AccessControl access(accounts, idle);
  const std::filesystem::path lotPath = datalogFolder / ".lot" / "lot.txt";
  if (!handler.host.empty()) {
    session.lotFile = lotPath.u8string();
    session.pidFile = (lotPath.parent_path() / "driver.pid").u8string();
  }

  EventLog log(KEPT_LINES);
  ProjectCatalog catalog(projects, ATE_LIBRARY_SUFFIX);
  DatalogPanel datalog(session.datalogDir);
  StationSession driver(session, log);
  std::unique_ptr<LotController> lot;
  std::unique_ptr<gem::GemEquipment> gem;
  if (gemOn) {
    // The host's reports and constants beside the accounts, like the released programs.
    gemOptions.stateFile = std::filesystem::path(accountsFile).parent_path() / "gem.json";
    gem = makeStationGem(gemOptions,
                         StationGemParts{&lot, &catalog, &releases, !accounts.empty(), &audit, &log,
                                         [&driver](std::chrono::milliseconds wait) {
                                           return driver.waitReady(wait);
                                         }});
  }
  std::unique_ptr<Deliverer> delivery;
  if (transport) {
    DeliveryOptions options;
    options.spool = spool.empty() ? datalogFolder / "spool" : std::filesystem::absolute(spool);
    delivery =
        std::make_unique<Deliverer>(options, std::move(transport), [&](const std::string& line) {
          log.append(LogLine::Kind::station, "delivery: " + line);
          log.touch();
          if (const auto event = gemDeliveryEvent(line); event && gem) gem->stationEvent(*event);
        });
  }
  std::unique_ptr<HandlerLink> link;
  if (!handler.host.empty()) {
    LotOptions options;
    options.datalogDir = datalogFolder;
    options.lotFile = lotPath;
    options.nodeName = station_platform::computerName();
    options.handlerConfigured = true;
    options.resume = resume;
    options.releases = &releases;
    options.audit = &audit;
    // Two drivers never write one lot's files: one left over from the station's earlier life
    // (after a crash of the station) is ended first.
    const Leftover leftover = endLeftoverDriver(session.pidFile);
    if (!leftover.message.empty()) say(leftover.message);
    if (leftover.stillRuns) {
      options.leftoverDriverRuns = [pid = leftover.pid, stamp = leftover.stamp] {
        return station_platform::processStamp(pid) == stamp;
      };
    }
    options.onEnded = [&](const std::vector<std::string>& files, const std::string& summary) {
      say(summary);
      for (const std::string& file : files) {
        std::string error;
        if (delivery && !delivery->enqueue(std::filesystem::u8path(file), error)) {
          log.append(LogLine::Kind::station, "delivery: " + error);
        }
      }
    };
    if (gem) {
      options.onRecord = [&gem](const lot::Record& record, const lot::LotBook& book,
                                const std::string& handlerState) {
        for (gem::StationEvent& event : gemEventsOf(record, book, handlerState)) {
          gem->stationEvent(std::move(event));
        }
      };
      options.onStatus = [&gem](const lot::LotBook& book, const std::string& handlerState) {
        gem->stationEvent(gemStatusOf(book, handlerState));
      };
    }
    lot = std::make_unique<LotController>(
        options, catalog, driver, log,
        [&link](const std::string& line) { return link && link->send(line); });
    HandlerLink::Events events;
    LotController* lots = lot.get();
    events.onLine = [lots](const std::string& line, bool overlong) {
      lots->handlerLine(line, overlong);
    };
    events.onConnection = [lots](bool connected, const std::string& what) {
      lots->handlerConnection(connected, what);
    };
    link = std::make_unique<HandlerLink>(handler, events);
  }
  StationServer station(
      server, StationParts{catalog, driver, log, datalog, lot.get(), delivery.get(), &access,
                           &audit, &releases, gem.get()});
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
  std::printf("ate-station: open %s://%s:%d/\n", server.tlsCert.empty() ? "http" : "https",
              shown.c_str(), port);
  std::fflush(stdout);
  if (accounts.empty()) {
    say("no accounts in " + accountsFile +
        ": anyone on this computer may use the station. To "
        "make one: ate-station users add NAME --role admin --accounts " +
        accountsFile);
  }
  audit.append(AuditEntry{"station", "", "",
                          "started, listening on " + shown + ":" + std::to_string(port) +
                              (accounts.empty() ? ", without accounts" : ""),
                          "done"});
  if (gem) {
    if (!gem->start(error)) {
      std::fprintf(stderr, "ate-station: --gem: %s\n", error.c_str());
      return 1;
    }
    say(std::string("SECS/GEM: ") +
        (gemOptions.link.active ? "connecting to the host at " : "listening for the host on ") +
        gemOptions.link.host + ":" +
        std::to_string(gemOptions.link.active ? gemOptions.link.port : gem->port()));
  }
  driver.start();
  bool lotStarted = false;
  if (lot) {
    const std::string restored = lot->restore();
    if (!restored.empty()) say(restored);
    // A lot found unfinished is the lot of this command line: it isn't started again.
    if (lot->resumed()) {
      lotStarted = true;
      if (!lotFile.empty()) say("the lot in " + lotFile + " is not started: one was resumed");
    }
  }
  if (link) link->start();

  std::thread serving([&] { station.serve(); });
  int exitStatus = 0;
  // The datalog is read here, a few times a second, so that no request waits for the disk.
  while (signalled == 0) {
    if (datalog.update()) log.touch();
    if (!lotFile.empty() && !lotStarted && driver.waitReady(std::chrono::milliseconds(0))) {
      lotStarted = true;
      const LotAnswer answer = lot->start(startingLot, "command line");
      say(answer.message);
      if (answer.status != 200) {
        exitStatus = 1;
        break;
      }
    }
    if (exitAfterLot && lotStarted && !lot->active()) {
      // What was delivered from the lot goes before the station does.
      if (delivery && !delivery->waitEmpty(std::chrono::seconds(30))) {
        say("the lot's datalogs wait in the spool for their delivery");
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("ate-station: stopping\n");
  std::fflush(stdout);
  station.stop();
  serving.join();
  // A touchdown in progress is not binned: the handler keeps its parts and asks again.
  if (gem) gem->stop();
  if (lot) lot->stop();
  driver.exit(std::chrono::seconds(5));
  lot.reset();
  gem.reset();
  link.reset();
  const std::optional<int> status = driver.state().exitStatus;
  std::printf("ate-station: stopped; the driver ended %s\n",
              status ? ("with status " + std::to_string(*status)).c_str() : "without a status");
  std::fflush(stdout);
#ifdef _WIN32
  finished = true;
#endif
  return exitStatus;
}
