#include "station/access/AccessControl.h"

#include <thread>

#include "station/http/Http.h"

std::string cookieValue(const http::Request& request, const std::string& name) {
  const std::string header = request.header("Cookie");
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

void AccessControl::takeUpChanges() {
  // At most once a second: a look at the file's time and size.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  auto last = lastLook_.load();
  if (now - last <
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1))
              .count() ||
      !lastLook_.compare_exchange_strong(last, now)) {
    return;
  }
  for (const std::string& name : accounts_.refresh()) sessions_.closeAccount(name);
}

Identity AccessControl::identify(const http::Request& request) {
  takeUpChanges();
  Identity identity;
  const std::string authorization = request.header("Authorization");
  if (authorization.compare(0, 7, "Bearer ") == 0) {
    identity.account = accounts_.byToken(authorization.substr(7));
    identity.byToken = identity.account.has_value();
    return identity;
  }
  const std::string session = cookieValue(request, SESSION_COOKIE);
  if (const std::optional<std::string> name = sessions_.use(session)) {
    // The account as it is now: a role changed or an account removed counts at once.
    identity.account = accounts_.find(*name);
    if (identity.account) {
      identity.session = session;
    } else {
      sessions_.close(session);
    }
  }
  return identity;
}

LoginOutcome AccessControl::login(const std::string& name, const std::string& password,
                                  const std::string& address) {
  takeUpChanges();
  LoginOutcome outcome;
  const std::chrono::seconds locked = guard_.locked(name, address);
  if (locked.count() > 0) {
    outcome.status = 429;
    outcome.retryAfter = locked;
    outcome.message = "too many failed logins: try again in " +
                      std::to_string((locked.count() + 59) / 60) + " minutes";
    return outcome;
  }
  outcome.account = accounts_.verify(name, password);
  if (!outcome.account) {
    std::this_thread::sleep_for(guard_.failed(name, address));
    outcome.status = 401;
    outcome.message = "wrong name or password";
    return outcome;
  }
  guard_.succeeded(name);
  outcome.session = sessions_.open(name);
  return outcome;
}
