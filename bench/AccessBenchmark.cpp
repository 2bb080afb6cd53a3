// The station's accounts: what a login costs (its password check, Argon2id at the station's
// cost), and what a session adds to each request (finding who sends it) over a station without
// accounts.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "crypto/PasswordHash.h"
#include "station/access/AccessControl.h"
#include "station/access/Accounts.h"
#include "station/http/Http.h"
#include "tests/support/TestFiles.h"

namespace {

const std::string PASSWORD = "a floor's long password";

// A station's access control, with one account or none, and a request as the page sends it.
class Setup {
 public:
  explicit Setup(bool withAccount) {
    std::string error;
    accounts_.load(dir_.path("accounts.json"), error);
    if (withAccount) accounts_.add("olga", Role::operatorRole, PASSWORD, error);
    control_ = std::make_unique<AccessControl>(accounts_, std::chrono::minutes(30));
    request_.method = "GET";
    request_.path = "/api/state";
    request_.remoteAddress = "127.0.0.1";
    request_.headers["host"] = "127.0.0.1:8080";
    if (withAccount) {
      request_.headers["cookie"] =
          "theme=dark; " + std::string(SESSION_COOKIE) + "=" + control_->sessions().open("olga");
    }
  }
  AccessControl& control() { return *control_; }
  const http::Request& request() const { return request_; }

 private:
  TempDir dir_;
  Accounts accounts_;
  std::unique_ptr<AccessControl> control_;
  http::Request request_;
};

void passwordCheck(benchmark::State& state) {
  const std::string stored = crypto::hashPassword(PASSWORD);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::verifyPassword(PASSWORD, stored));
}
BENCHMARK(passwordCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

void identifySession(benchmark::State& state) {
  Setup setup(true);
  for (auto _ : state) {
    const Identity who = setup.control().identify(setup.request());
    if (!who.known()) state.SkipWithError("the session was not found");
  }
}
BENCHMARK(identifySession);

void identifyWithoutAccounts(benchmark::State& state) {
  Setup setup(false);
  for (auto _ : state) benchmark::DoNotOptimize(setup.control().identify(setup.request()));
}
BENCHMARK(identifyWithoutAccounts);

}  // namespace

int main(int argc, char** argv) {
  return bench::runWithRatios(
      argc, argv, std::cout, {}, [](std::ostream& out, const bench::Times& times) {
        const auto time = [&](const std::string& name) {
          const auto found = times.find(name);
          return found == times.end() ? -1.0 : found->second;
        };
        const double login = time("passwordCheck/real_time");
        if (login >= 0) {
          // (a range: the figure's own target says only "at most")
          bench::printFigure(out, "access, a login's password check (Argon2id)", login / 1e6, "ms",
                             500.0);
          out << "  " << (login / 1e6 >= 50 ? "at least 50 ms: met" : "under 50 ms: MISSED")
              << "\n";
        }
        const double session = time("identifySession"), open = time("identifyWithoutAccounts");
        if (session >= 0 && open >= 0) {
          bench::printFigure(out, "access, what a session adds to a request",
                             (session - open) / 1e3, "us", 100.0);
        }
      });
}
