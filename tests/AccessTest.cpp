// Who may do what on the station: accounts made with `ate-station users`, logins and their
// sessions, API tokens, every route against every role, the audit trail's chain, and the
// station's refusals to serve unsafely (beyond loopback without TLS or accounts, secrets others
// may read).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/ChildProcess.h"
#include "station/access/AuditTrail.h"
#include "station/access/LoginGuard.h"
#include "station/access/Sessions.h"
#include "stdf/StdfReader.h"
#include "tests/support/DriverSession.h"
#include "tests/support/HandlerSimProcess.h"
#include "tests/support/StationProcess.h"
#include "tests/support/TestFiles.h"

namespace {

using nlohmann::json;

// Runs ARGV with input on its standard input: its exit status and output (then its errors).
std::pair<std::optional<int>, std::string> command(const std::vector<std::string>& argv,
                                                   const std::string& input = "") {
  ChildProcess::Options options;
  options.argv = argv;
  ChildProcess process(options);
  process.write(input);
  process.closeInput();
  std::string out;
  for (const std::string& line : process.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT)) {
    out += line + "\n";
  }
  for (const std::string& line : process.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT)) {
    out += line + "\n";
  }
  return {process.wait(TEST_TIMEOUT), out};
}

std::pair<std::optional<int>, std::string> stationCommand(std::vector<std::string> args,
                                                          const std::string& input = "") {
  args.insert(args.begin(), ATE_STATION_PATH);
  return command(args, input);
}

struct Person {
  const char* name;
  const char* role;
  const char* password;
};
const Person PEOPLE[] = {{"olga", "operator", "olga's long password"},
                         {"emil", "engineer", "emil's long password"},
                         {"ada", "admin", "ada's long password 1"}};

// A station with the three accounts, made as an admin makes them.
std::shared_ptr<StationFolders> withAccounts() {
  auto folders = std::make_shared<StationFolders>();
  for (const Person& person : PEOPLE) {
    const auto [status, out] =
        stationCommand({"users", "add", person.name, "--role", person.role, "--accounts",
                        folders->accounts, "--audit", folders->datalogs + "/audit.jsonl"},
                       std::string(person.password) + "\n");
    EXPECT_EQ(status, 0) << out;
  }
  return folders;
}

// Logs in: the session cookie ("station_session=..."), or empty.
std::string login(Station& station, const std::string& user, const std::string& password) {
  const HttpResult result =
      station.client().post("/api/login", {{"Origin", station.origin()}},
                            json{{"user", user}, {"password", password}}.dump());
  const std::string cookie = result.header("Set-Cookie");
  return result.status == 200 ? cookie.substr(0, cookie.find(';')) : "";
}

TEST(Access, EveryRouteAnswersEachRoleAsItMay) {
  Station station(withAccounts(), {}, {});
  station.waitFor("/api/me", [](const json&) { return true; });
  std::map<std::string, std::string> cookies;
  for (const Person& person : PEOPLE) {
    cookies[person.role] = login(station, person.name, person.password);
    ASSERT_FALSE(cookies[person.role].empty()) << person.name;
  }
  // An operator's API token: an operator without the page, and without an Origin.
  const HttpResult made = station.client().post(
      "/api/tokens", {{"Origin", station.origin()}, {"Cookie", cookies["operator"]}},
      R"({"name": "line 3 script"})");
  ASSERT_EQ(made.status, 200) << made.body;
  const std::string token = json::parse(made.body).value("token", "");
  std::ifstream accounts(station.folders()->accounts);
  const std::string stored((std::istreambuf_iterator<char>(accounts)), {});
  EXPECT_EQ(stored.find(token), std::string::npos) << "the token itself is stored";

  struct Route {
    const char* method;
    const char* path;
    const char* body;  // the POSTs' bodies are refused by the route itself, changing nothing
    const char* needs;
  };
  const Route ROUTES[] = {
      {"GET", "/api/projects", "", "operator"},
      {"GET", "/api/state", "", "operator"},
      {"GET", "/api/datalog", "", "operator"},
      {"GET", "/api/lot", "", "operator"},
      {"GET", "/api/lot/wafer?id=W1", "", "operator"},
      {"GET", "/api/lot/report", "", "operator"},
      {"GET", "/api/delivery", "", "operator"},
      {"GET", "/api/releases", "", "operator"},
      {"GET", "/api/audit", "", "engineer"},
      {"GET", "/api/accounts", "", "admin"},
      {"POST", "/api/load", R"({"project": "pmic", "flow": "nope.json"})", "engineer"},
      {"POST", "/api/run", R"({"setting": "nope.json"})", "engineer"},
      {"POST", "/api/stop", "[]", "engineer"},
      {"POST", "/api/unload", "[]", "engineer"},
      {"POST", "/api/restart", "", "engineer"},
      {"POST", "/api/releases", "{}", "engineer"},
      {"POST", "/api/lot/start", "{}", "operator"},
      {"POST", "/api/lot/end", "", "operator"},
      {"POST", "/api/lot/pause", "", "operator"},
      {"POST", "/api/lot/resume", "", "operator"},
      {"POST", "/api/lot/alarms/clear", "", "operator"},
      {"POST", "/api/tokens", "{}", "operator"},
      {"POST", "/api/logout", "", "anyone"},
      {"GET", "/", "", "anyone"},
      {"GET", "/station.js", "", "anyone"},
  };
  const char* const RANKS[] = {"anyone", "operator", "engineer", "admin"};
  const auto rank = [&](const std::string& role) {
    return static_cast<int>(std::find(std::begin(RANKS), std::end(RANKS), role) - RANKS);
  };
  struct Caller {
    const char* what;
    const char* role;
    HttpHeaders headers;
  };
  const Caller CALLERS[] = {
      {"anonymous", "anyone", {{"Origin", station.origin()}}},
      {"operator", "operator", {{"Origin", station.origin()}, {"Cookie", cookies["operator"]}}},
      {"engineer", "engineer", {{"Origin", station.origin()}, {"Cookie", cookies["engineer"]}}},
      {"admin", "admin", {{"Origin", station.origin()}, {"Cookie", cookies["admin"]}}},
      {"operator's token", "operator", {{"Authorization", "Bearer " + token}}},
  };
  for (const Route& route : ROUTES) {
    for (const Caller& caller : CALLERS) {
      SCOPED_TRACE(std::string(route.method) + " " + route.path + " by " + caller.what);
      if (std::string(route.path) == "/api/logout") continue;  // would end the session
      const HttpResult result =
          station.client().send(route.method, route.path, caller.headers, route.body);
      if (rank(caller.role) >= rank(route.needs)) {
        EXPECT_TRUE(result.status != 401 && result.status != 403 && result.status != 0)
            << result.status << " " << result.body;
      } else if (std::string(caller.role) == "anyone") {
        EXPECT_EQ(result.status, 401) << result.body;
      } else {
        EXPECT_EQ(result.status, 403) << result.body;
        EXPECT_EQ(
            json::parse(result.body).value("error", ""),
            std::string("this needs the ") + route.needs + " role; " +
                (std::string(caller.role) == "operator" ? "olga is operator" : "emil is engineer"));
      }
    }
  }
  // A lot without a release is refused with accounts: lots run released programs only.
  const HttpResult unreleased = station.client().post(
      "/api/lot/start", CALLERS[1].headers,
      R"({"project": "pmic", "flow": "pmic_flow.json", "setting": "lot_4_sites.json",
          "lotId": "L1"})");
  EXPECT_EQ(unreleased.status, 409) << unreleased.body;  // this station has no handler
  // Logged out, the session is gone.
  EXPECT_EQ(station.client().post("/api/logout", CALLERS[1].headers, "").status, 200);
  EXPECT_EQ(station.client().get("/api/state", CALLERS[1].headers).status, 401);
}

TEST(Access, LoginsAreSlowedThenLockedAndSessionsCarryTheirCookie) {
  Station station(withAccounts(), {}, {});
  station.waitFor("/api/me", [](const json&) { return true; });
  const HttpResult good =
      station.client().post("/api/login", {{"Origin", station.origin()}},
                            json{{"user", "olga"}, {"password", PEOPLE[0].password}}.dump());
  ASSERT_EQ(good.status, 200);
  const std::string cookie = good.header("Set-Cookie");
  EXPECT_EQ(cookie.substr(cookie.find(';')), "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_GE(cookie.find(';'), std::string("station_session=").size() + 43);

  // Five wrong passwords for olga: each answer slower; then she is locked, right password or not.
  std::vector<double> waits;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const HttpResult wrong =
        station.client().post("/api/login", {{"Origin", station.origin()}},
                              json{{"user", "olga"}, {"password", "not it at all"}}.dump());
    waits.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(json::parse(wrong.body).value("error", ""), "wrong name or password");
  }
  // The guard's waits (0.1 s more with each failure, unit-tested below) come on top of the
  // password check, however long that takes on a busy machine.
  EXPECT_GE(std::accumulate(waits.begin(), waits.end(), 0.0), 1.5) << "failures are slowed";
  const HttpResult locked =
      station.client().post("/api/login", {{"Origin", station.origin()}},
                            json{{"user", "olga"}, {"password", PEOPLE[0].password}}.dump());
  EXPECT_EQ(locked.status, 429) << locked.body;
  EXPECT_FALSE(locked.header("Retry-After").empty());
  // Nobody's password reaches the trail, whether right or wrong.
  std::ifstream trail(station.datalogs() + "/audit.jsonl");
  const std::string text((std::istreambuf_iterator<char>(trail)), {});
  EXPECT_NE(text.find("POST /api/login: as olga"), std::string::npos) << text;
  EXPECT_EQ(text.find("not it at all"), std::string::npos);
  EXPECT_EQ(text.find(PEOPLE[0].password), std::string::npos);
}

// `ate-station users` changes the accounts while the station runs: a new role counts at once, a
// new password or a removed account ends the account's sessions.
TEST(Access, AccountsChangedWhileTheStationRunsCountAtOnce) {
  Station station(withAccounts(), {}, {});
  const std::string olga = login(station, "olga", PEOPLE[0].password);
  const std::string emil = login(station, "emil", PEOPLE[1].password);
  const std::string ada = login(station, "ada", PEOPLE[2].password);
  const auto users = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "users");
    args.insert(args.end(), {"--accounts", station.folders()->accounts, "--audit",
                             station.datalogs() + "/audit.jsonl"});
    const auto [status, out] = stationCommand(args, input);
    EXPECT_EQ(status, 0) << out;
  };
  users({"role", "olga", "engineer"});
  users({"passwd", "emil"}, "emil's new long password\n");
  users({"remove", "ada"});
  const auto me = [&](const std::string& cookie) {
    const HttpResult result = station.client().get("/api/me", {{"Cookie", cookie}});
    return std::pair(result.status, json::parse(result.body, nullptr, false).value("role", ""));
  };
  station.waitFor("/api/projects", [&](const json&) { return me(olga).second == "engineer"; });
  EXPECT_EQ(me(emil).first, 401);
  EXPECT_EQ(me(ada).first, 401);
  EXPECT_EQ(login(station, "emil", PEOPLE[1].password), "");
  EXPECT_NE(login(station, "emil", "emil's new long password"), "");
}

TEST(Access, SessionsEndWhenIdleAndLoginsUnlockAfterAWhile) {
  Sessions sessions(std::chrono::seconds(1));
  const std::string id = sessions.open("olga");
  EXPECT_EQ(sessions.use(id), std::optional<std::string>("olga"));
  EXPECT_EQ(sessions.use("guessed"), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_FALSE(sessions.alive(id));
  EXPECT_EQ(sessions.use(id), std::nullopt);

  LoginGuardLimits limits;
  limits.accountFailures = 2;
  limits.lockFor = std::chrono::seconds(1);
  limits.delayStep = std::chrono::milliseconds(1);
  limits.maxDelay = std::chrono::milliseconds(3);
  LoginGuard guard(limits);
  EXPECT_EQ(guard.locked("olga", "10.0.0.1").count(), 0);
  // Each failure waits longer, up to the most: by the account's or the address's count.
  EXPECT_EQ(guard.failed("emil", "10.0.0.9").count(), 1);
  EXPECT_EQ(guard.failed("emil", "10.0.0.9").count(), 2);
  EXPECT_EQ(guard.failed("anna", "10.0.0.9").count(), 3) << "the address's third failure";
  EXPECT_EQ(guard.failed("anna", "10.0.0.9").count(), 3) << "no more than the most";
  guard.succeeded("emil");
  guard.failed("olga", "10.0.0.1");
  EXPECT_EQ(guard.locked("olga", "10.0.0.1").count(), 0);
  guard.failed("olga", "10.0.0.2");
  EXPECT_GT(guard.locked("olga", "10.0.0.3").count(), 0) << "the account is locked, from anywhere";
  EXPECT_EQ(guard.locked("emil", "10.0.0.1").count(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(guard.locked("olga", "10.0.0.1").count(), 0);
}

// An audit trail with a line edited, a line deleted, or rewritten whole after a datalog took its
// anchor: `ate-station audit verify` finds each.
TEST(Access, TheAuditTrailsChainFindsAnEditedADeletedAndARewrittenLine) {
  TempDir dir;
  const std::string file = dir.path("audit.jsonl");
  std::string anchor;
  {
    AuditTrail trail;
    std::string error;
    ASSERT_TRUE(trail.open(file, error)) << error;
    for (int i = 1; i <= 5; ++i) {
      trail.append({"olga", "operator", "127.0.0.1", "action " + std::to_string(i), "200"});
      if (i == 4) anchor = trail.head();
    }
  }
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  const auto verify = [&](const std::vector<std::string>& kept, bool withAnchor) {
    const std::string copy = dir.path("copy.jsonl");
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);  // its line feeds as they were
    for (const std::string& line : kept) out << line << "\n";
    out.close();
    return verifyTrail(copy,
                       withAnchor ? std::vector<std::string>{anchor} : std::vector<std::string>{});
  };
  TrailCheck check = verify(lines, true);
  EXPECT_TRUE(check.holds) << check.message;
  EXPECT_EQ(check.message, "the chain holds: 5 lines, 1 anchors found");

  std::vector<std::string> edited = lines;
  edited[1].replace(edited[1].find("olga"), 4, "emil");
  check = verify(edited, false);
  EXPECT_FALSE(check.holds);
  EXPECT_EQ(check.brokenLine, 3u) << check.message;

  std::vector<std::string> deleted = lines;
  deleted.erase(deleted.begin() + 2);
  check = verify(deleted, false);
  EXPECT_FALSE(check.holds);
  EXPECT_EQ(check.brokenLine, 3u) << check.message;

  // The last two lines rewritten, chained anew: the chain holds, the anchor doesn't.
  std::vector<std::string> rewritten(lines.begin(), lines.begin() + 3);
  check = verify(rewritten, true);
  EXPECT_FALSE(check.holds);
  EXPECT_NE(check.message.find("names a line the trail no longer holds"), std::string::npos);

  // The command says the same, with its exit status.
  const auto [status, out] = stationCommand({"audit", "verify", dir.path("copy.jsonl")});
  EXPECT_EQ(status, 0) << out;  // the rewritten copy holds without its anchor
  std::ofstream(dir.path("copy.jsonl"), std::ios::binary | std::ios::trunc) << edited[0] << "\n"
                                                                            << edited[1] << "\n"
                                                                            << edited[2] << "\n";
  const auto [broken, said] = stationCommand({"audit", "verify", dir.path("copy.jsonl")});
  EXPECT_EQ(broken, 1) << said;
  EXPECT_NE(said.find("line 3 does not follow the line before it"), std::string::npos) << said;
}

TEST(Access, TheStationServesOnlyWhatIsSafe) {
  // Beyond loopback: TLS and accounts, unless the operator says otherwise (and the page shows it).
  auto [status, out] = stationCommand({"--listen", "0.0.0.0:0", "--projects", "."});
  EXPECT_EQ(status, 64);
  EXPECT_NE(out.find("listening on 0.0.0.0 needs TLS (--tls-cert, --tls-key) and accounts"),
            std::string::npos)
      << out;
  {
    Station open({"--insecure-network", "--listen", "127.0.0.1:0"});
    EXPECT_EQ(open.get("/api/me").value("insecureNetwork", false), true);
  }
  // A password only from standard input or the terminal: there is no option for it.
  std::tie(status, out) =
      stationCommand({"users", "add", "x", "--role", "operator", "--password", "in the clear"});
  EXPECT_EQ(status, 64) << out;
#ifndef _WIN32
  // Secrets others may read are refused.
  const auto folders = withAccounts();
  std::filesystem::permissions(folders->accounts, std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  std::tie(status, out) = stationCommand({"--accounts", folders->accounts, "--projects",
                                          folders->projects, "--datalogs", folders->datalogs});
  EXPECT_EQ(status, 64);
  EXPECT_NE(out.find("may be read by others than its owner"), std::string::npos) << out;
#endif
}

// The build's TLS certificate for 127.0.0.1 and the key named (of those in ATE_TLS_FILES), copied
// into dir with the key its owner's alone: the station's options that serve with them.
std::vector<std::string> tlsOptions(const TempDir& dir, const std::string& key) {
  namespace fs = std::filesystem;
  for (const std::string& name : {std::string("cert.pem"), key}) {
    fs::copy_file(fs::path(ATE_TLS_FILES) / name, dir.path(name),
                  fs::copy_options::overwrite_existing);
  }
  fs::permissions(dir.path(key), fs::perms::owner_read | fs::perms::owner_write);
  return {"--tls-cert", dir.path("cert.pem"), "--tls-key", dir.path(key)};
}

// Certificates and keys the station can't serve with are refused at its start, saying why.
TEST(Access, TlsFilesAreCheckedAtTheStart) {
  const TempDir dir;
  const StationFolders folders;
  struct Case {
    const char* key;
    std::string says;
  };
  std::vector<Case> cases = {
      {"other-key.pem", "the key " + dir.path("other-key.pem") + " is not the certificate's"},
      {"missing.pem", "cannot read the key " + dir.path("missing.pem")}};
#ifdef _WIN32
  cases.push_back({"ec-key.pem", "the Windows build serves TLS with RSA keys only"});
#endif
  for (const Case& test : cases) {
    std::vector<std::string> args = {"--projects",     folders.projects, "--datalogs",
                                     folders.datalogs, "--listen",       "127.0.0.1:0"};
    if (std::string(test.key) != "missing.pem") {
      const std::vector<std::string> tls = tlsOptions(dir, test.key);
      args.insert(args.end(), tls.begin(), tls.end());
    } else {
      tlsOptions(dir, "key.pem");
      args.insert(args.end(),
                  {"--tls-cert", dir.path("cert.pem"), "--tls-key", dir.path("missing.pem")});
    }
    const auto [status, out] = stationCommand(args);
    EXPECT_NE(status, std::optional<int>(0)) << test.key;
    EXPECT_NE(out.find(test.says), std::string::npos) << test.key << ": " << out;
  }
}

#ifndef _WIN32
// TLS with Python's own client: 1.2 and 1.3 only, no plain HTTP on the TLS port, and the
// session cookie marked Secure. The station's machine is configured to allow the old versions, so
// that refusing them is the station's own doing.
TEST(Access, TlsServesVersionsFromOnePointTwoOnly) {
  const auto folders = withAccounts();
  const TempDir dir;
  const std::string config =
      dir.write("openssl.cnf",
                "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = old\n"
                "[old]\nMinProtocol = TLSv1\nCipherString = DEFAULT:@SECLEVEL=0\n");
  Station station(folders, tlsOptions(dir, "key.pem"), {{"OPENSSL_CONF", config}});
  const auto [status, out] =
      command({"/usr/bin/python3", "-W", "ignore", ATE_TLS_PROBE, "127.0.0.1",
               std::to_string(station.port()), PEOPLE[0].name, PEOPLE[0].password});
  ASSERT_EQ(status, 0) << out;
  std::map<std::string, std::string> outcome;
  std::istringstream lines(out);
  for (std::string name, rest; lines >> name && std::getline(lines, rest);) {
    outcome[name] = rest.substr(
        1, rest.find(':') == std::string::npos ? std::string::npos : rest.find(':') - 1);
  }
  const std::map<std::string, std::string> expected = {
      {"TLSv1", "refused"}, {"TLSv1_1", "refused"},
      {"TLSv1_2", "401"},   {"TLSv1_3", "401"},
      {"plain", "refused"}, {"login", "200 Path=/; HttpOnly; SameSite=Strict; Secure"}};
  EXPECT_EQ(outcome, expected) << out;
}
#else
// SChannel takes the certificate and key, and the port serves no plain HTTP. (Wine's SChannel
// can't be a TLS server, so the handshake itself is not tried here.)
TEST(Access, TlsThroughSchannelTakesItsFilesAndServesNoPlainHttp) {
  const TempDir dir;
  Station station(std::make_shared<StationFolders>(), tlsOptions(dir, "key.pem"), {});
  ASSERT_NE(station.port(), 0);
  EXPECT_FALSE(station.client().get("/api/me")) << "plain HTTP answered on the TLS port";
}
#endif

}  // namespace

namespace {

// A released program, run as a lot by an operator: the datalog names the release, the operator
// and the program's digests and anchors the audit trail; the report says who did what. A library
// changed after its release refuses the next lot.
TEST(Access, LotsRunReleasedProgramsOnlyAndTheirDatalogsSaySo) {
  Handler handler({"--sites", "4", "--parts", "8"});
  Station station(withAccounts(), {"--handler", handler.address()}, {});
  const HttpHeaders engineer = {{"Origin", station.origin()},
                                {"Cookie", login(station, "emil", PEOPLE[1].password)}};
  const std::string olga = login(station, "olga", PEOPLE[0].password);
  const HttpHeaders operatorHeaders = {{"Origin", station.origin()}, {"Cookie", olga}};
  station.useSession(olga);
  station.waitState([](const json& state) { return state.value("driver", "") == "ready"; });
  const std::string release =
      R"({"name": "PMIC-FT", "revision": "3", "project": "pmic", "flow": "pmic_flow.json",
          "settings": ["lot_4_sites.json"]})";
  HttpResult result = station.client().post("/api/releases", engineer, release);
  ASSERT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(json::parse(result.body)["files"].size(), 3u);
  EXPECT_EQ(station.client().post("/api/releases", engineer, release).status, 409)
      << "a release is never changed";
  const std::string lot =
      R"({"release": "PMIC-FT", "revision": "3", "setting": "lot_4_sites.json", "lotId": "R7",
          "operator": "somebody else"})";
  result = station.client().post("/api/lot/start", operatorHeaders, lot);
  ASSERT_EQ(result.status, 200) << result.body;
  const json ended = station.waitFor("/api/lot", [](const json& l) {
    return l.value("state", "") == "ended" && l["lot"].contains("report");
  });
  EXPECT_EQ(handler.finish().second, std::optional<int>(0));
  const json& view = ended["lot"];
  EXPECT_EQ(std::vector<std::string>({view["release"], view["revision"], view["project"],
                                      view["flow"], view["startedBy"]}),
            std::vector<std::string>({"PMIC-FT", "3", "pmic", "pmic_flow.json", "olga"}));

  // The datalog: the release's name and revision, the account, the files' digests, the anchor.
  const std::string datalog = ended["lot"]["datalogs"][0];
  std::ifstream in(datalog, std::ios::binary);
  stdf::StdfReader reader(in);
  std::vector<std::string> dtrs;
  for (stdf::Record record; reader.next(record);) {
    if (record.is("MIR")) {
      EXPECT_EQ(record.textValue("JOB_NAM"), "PMIC-FT");
      EXPECT_EQ(record.textValue("JOB_REV"), "3");
      EXPECT_EQ(record.textValue("OPER_NAM"), "olga");
    }
    if (record.is("DTR")) dtrs.emplace_back(record.textValue("TEXT_DAT"));
  }
  ASSERT_GE(dtrs.size(), 4u);
  const std::string program[] = {
      "ate:program library sha256=", "ate:program flow sha256=", "ate:program setting sha256="};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(dtrs[i].rfind(program[i], 0), 0u) << dtrs[i];
  }
  EXPECT_EQ(dtrs[3].rfind("ate:audit sha256=", 0), 0u) << dtrs[3];
  // The trail holds, with the anchor the datalog took.
  const std::string trail = station.datalogs() + "/audit.jsonl";
  auto [status, out] = stationCommand({"audit", "verify", trail, "--anchors", datalog});
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("1 anchors found"), std::string::npos) << out;
  // The report says who started and who ended the lot.
  std::ifstream report(ended["lot"]["report"].get<std::string>());
  const std::string html((std::istreambuf_iterator<char>(report)), {});
  EXPECT_NE(html.find("<td>olga</td><td>started the lot</td>"), std::string::npos);
  EXPECT_NE(html.find("<td>handler</td><td>ended the lot (end of lot from the handler)</td>"),
            std::string::npos);

  // ate-check checks the release as the station keeps it, before and after its library changed.
  const auto check = [&](const std::string& release) {
    return command(
        {ATE_CHECK_PATH, "--release", release, "--releases",
         (std::filesystem::path(station.folders()->accounts).parent_path() / "releases.json")
             .u8string(),
         "--projects", station.projects()});
  };
  std::tie(status, out) = check("PMIC-FT@3");
  EXPECT_EQ(status, 0) << out;
  std::tie(status, out) = check("PMIC-FT@4");
  EXPECT_EQ(status, 2) << out;
  EXPECT_NE(out.find("error: there is no release PMIC-FT@4"), std::string::npos) << out;

  // The library changed after its release: the next lot is refused, and says which file.
  std::ofstream(station.projects() + "/pmic/pmic_project" + std::string(ATE_LIBRARY_SUFFIX),
                std::ios::binary | std::ios::app)
      << '\0';
  std::tie(status, out) = check("PMIC-FT@3");
  EXPECT_EQ(status, 2) << out;
  EXPECT_NE(out.find("/pmic: error: the release's library pmic_project" +
                     std::string(ATE_LIBRARY_SUFFIX) + " changed since it was released"),
            std::string::npos)
      << out;
  result = station.client().post("/api/lot/start", operatorHeaders,
                                 R"({"release": "PMIC-FT", "revision": "3",
                                     "setting": "lot_4_sites.json", "lotId": "R8"})");
  EXPECT_EQ(result.status, 409);
  EXPECT_EQ(json::parse(result.body).value("error", ""),
            std::string("the release's library pmic_project") + ATE_LIBRARY_SUFFIX +
                " changed since it was released: the lot is refused");
}

}  // namespace
