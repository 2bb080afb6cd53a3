// ate-station on a free loopback port, with its own copy of the example projects folder, driven
// through its HTTP API as the page and scripts drive it. For the station's tests only (they
// define ATE_STATION_PATH, ATE_STATION_PROJECTS and ATE_DRIVER_PATH).
#ifndef ATE_TESTS_SUPPORT_STATIONPROCESS_H_
#define ATE_TESTS_SUPPORT_STATIONPROCESS_H_

#include <gtest/gtest.h>
#include <algorithm>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/ChildProcess.h"
#include "tests/support/DriverSession.h"
#include "tests/support/HttpClient.h"
#include "tests/support/TestFiles.h"

// A projects folder (a copy of the example's) and a datalogs folder, which stations started one
// after the other may share, as a station started again after a crash does.
struct StationFolders {
  StationFolders()
      : projects(dir.path("projects")),
        datalogs(dir.path("datalog")),
        accounts(dir.path("accounts.json")) {
    std::filesystem::copy(ATE_STATION_PROJECTS, projects, std::filesystem::copy_options::recursive);
  }
  TempDir dir;
  std::string projects, datalogs;
  std::string accounts;  // where the station's accounts are (none until a test makes some)
};

class Station {
 public:
  using json = nlohmann::json;
  using Environment = std::vector<std::pair<std::string, std::string>>;

  explicit Station(std::vector<std::string> args = {}, const std::string& driver = ATE_DRIVER_PATH)
      : Station(std::make_shared<StationFolders>(), std::move(args), {}, driver) {}

  // On folders another station used (or uses), with variables added to its environment.
  Station(std::shared_ptr<StationFolders> folders, std::vector<std::string> args,
          const Environment& environment, const std::string& driver = ATE_DRIVER_PATH)
      : folders_(std::move(folders)) {
    ChildProcess::Options options;
    options.argv = {ATE_STATION_PATH,
                    "--projects",
                    folders_->projects,
                    "--datalogs",
                    folders_->datalogs,
                    "--accounts",
                    folders_->accounts,
                    "--listen",
                    "127.0.0.1:0",
                    "--timeout",
                    "2"};
    // Without --driver, the station runs the driver beside it.
    if (driver != ATE_DRIVER_PATH) options.argv.insert(options.argv.end(), {"--driver", driver});
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = environment;
    // The example's fixed figures (site 3 failing, the others passing) unless a test asks for
    // its process model.
    if (std::none_of(environment.begin(), environment.end(),
                     [](const auto& v) { return v.first == "ATE_EXAMPLE_FIXED"; })) {
      options.environment.emplace_back("ATE_EXAMPLE_FIXED", "1");
    }
    process_ = std::make_unique<ChildProcess>(options);
    // The address it prints first.
    const std::optional<std::string> banner =
        process_->readLine(ChildProcess::Stream::out, TEST_TIMEOUT);
    std::smatch port;
    if (!banner || !std::regex_search(*banner, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/"))) {
      ADD_FAILURE() << "no address from the station: " << banner.value_or("<none>");
      return;
    }
    port_ = std::stoi(port[1]);
    client_ = std::make_unique<HttpClient>("127.0.0.1", port_);
  }

  const std::shared_ptr<StationFolders>& folders() const { return folders_; }
  HttpClient& client() { return *client_; }
  // The session cookie ("station_session=...") get() and post() send from now on.
  void useSession(const std::string& cookie) { session_ = cookie; }
  int port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& projects() const { return folders_->projects; }
  const std::string& datalogs() const { return folders_->datalogs; }
  ChildProcess& process() { return *process_; }

  // A POST as the station's own page sends it; status and JSON body.
  std::pair<int, json> post(const std::string& path, const std::string& body = "{}") {
    HttpHeaders headers = {{"Origin", origin()}};
    if (!session_.empty()) headers.emplace_back("Cookie", session_);
    const HttpResult result = client_->post(path, headers, body);
    return {result.status, json::parse(result.body, nullptr, false)};
  }

  // A GET's JSON body; null when there was no answer.
  json get(const std::string& path) {
    const HttpResult result =
        client_->get(path, session_.empty() ? HttpHeaders() : HttpHeaders{{"Cookie", session_}});
    return result ? json::parse(result.body, nullptr, false) : json();
  }
  json state() { return get("/api/state"); }
  json lot() { return get("/api/lot"); }

  // Polls path until holds(its document) or the timeout; the document last seen.
  template <typename Holds>
  json waitFor(const std::string& path, Holds holds) {
    json seen;
    for (const auto deadline = std::chrono::steady_clock::now() + TEST_TIMEOUT;
         std::chrono::steady_clock::now() < deadline;) {
      seen = get(path);
      if (seen.is_object() && holds(seen)) return seen;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << path << " never got there: " << seen.dump();
    return seen;
  }
  template <typename Holds>
  json waitState(Holds holds) {
    return waitFor("/api/state", holds);
  }
  template <typename Holds>
  json waitLot(Holds holds) {
    return waitFor("/api/lot", holds);
  }
  json waitLotEnded() {
    return waitLot([](const json& lot) { return lot.value("state", "") == "ended"; });
  }

 private:
  std::shared_ptr<StationFolders> folders_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
  std::unique_ptr<HttpClient> client_;
  std::string session_;
};

#endif  // ATE_TESTS_SUPPORT_STATIONPROCESS_H_
