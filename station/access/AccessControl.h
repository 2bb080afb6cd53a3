// Who a request comes from, and logging in and out. A request carries a session (the page's
// cookie, set at login) or an API token (`Authorization: Bearer TOKEN`); anything else is
// anonymous. While the station has no account, access is open as it was (loopback only).
// Thread-safe.
#ifndef ATE_STATION_ACCESS_ACCESSCONTROL_H_
#define ATE_STATION_ACCESS_ACCESSCONTROL_H_

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "station/access/Accounts.h"
#include "station/access/LoginGuard.h"
#include "station/access/Sessions.h"

namespace http {
struct Request;
}

// The name of the session cookie.
inline constexpr const char* SESSION_COOKIE = "station_session";

struct Identity {
  std::optional<Account> account;  // empty: anonymous
  bool byToken = false;            // an API token, not a page's session
  std::string session;             // the session id, when by session

  bool known() const { return account.has_value(); }
  std::string name() const { return account ? account->name : "-"; }
};

struct LoginOutcome {
  int status = 200;  // 200, 401 wrong name or password, 429 locked
  std::string message;
  std::string session;  // 200: the new session's id
  std::optional<Account> account;
  std::chrono::seconds retryAfter{0};  // 429
};

class AccessControl {
 public:
  AccessControl(Accounts& accounts, std::chrono::seconds idle,
                LoginGuardLimits limits = LoginGuardLimits())
      : accounts_(accounts), sessions_(idle), guard_(limits) {}

  // Whether accounts guard the station (there is at least one).
  bool enabled() const { return !accounts_.empty(); }
  // Who sends the request; the accounts file's changes taken up first (a role changed or an
  // account removed counts at once, a new password ends the account's sessions).
  Identity identify(const http::Request& request);

  // Checks the password (slowed after failures, refused while locked); a new session on success.
  LoginOutcome login(const std::string& name, const std::string& password,
                     const std::string& address);
  void logout(const std::string& session) { sessions_.close(session); }

  Accounts& accounts() { return accounts_; }
  Sessions& sessions() { return sessions_; }

 private:
  void takeUpChanges();

  Accounts& accounts_;
  Sessions sessions_;
  std::atomic<std::chrono::steady_clock::rep> lastLook_{0};
  LoginGuard guard_;
};

// A cookie's value from the request's Cookie header; empty when it has none of that name.
std::string cookieValue(const http::Request& request, const std::string& name);

#endif  // ATE_STATION_ACCESS_ACCESSCONTROL_H_
