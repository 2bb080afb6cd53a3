#include "station/StationCommands.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "station/Platform.h"
#include "station/access/Accounts.h"
#include "station/access/AuditTrail.h"

namespace {

const char* const USERS_USAGE =
    "usage: ate-station users add NAME --role operator|engineer|admin [OPTIONS]\n"
    "       ate-station users passwd NAME [OPTIONS]\n"
    "       ate-station users role NAME operator|engineer|admin [OPTIONS]\n"
    "       ate-station users remove NAME [OPTIONS]\n"
    "       ate-station users list [OPTIONS]\n"
    "  --accounts FILE   the station's accounts (default: accounts.json)\n"
    "  --audit FILE      its audit trail (default: datalog/audit.jsonl)\n"
    "A password is read from the terminal without echo, or else from standard input's first\n"
    "line; never from the command line.\n";

int usage(const char* text) {
  std::fputs(text, stderr);
  return 64;
}

// Who runs the command, for the audit trail.
std::string operatingUser() {
  for (const char* name : {"SUDO_USER", "USER", "USERNAME"}) {
    if (const char* value = std::getenv(name)) return std::string("system user ") + value;
  }
  return "system user";
}

// A new password, asked twice at a terminal.
bool newPassword(std::string& password) {
  if (!station_platform::readSecret("password: ", password)) return false;
  if (!station_platform::interactive()) return true;
  std::string again;
  if (!station_platform::readSecret("again: ", again)) return false;
  if (again != password) {
    std::fputs("ate-station: the two passwords differ\n", stderr);
    return false;
  }
  return true;
}

}  // namespace

int usersCommand(const std::vector<std::string>& args) {
  std::string accountsFile = "accounts.json", auditFile = "datalog/audit.jsonl", roleText;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--accounts" && hasValue) {
      accountsFile = args[++i];
    } else if (args[i] == "--audit" && hasValue) {
      auditFile = args[++i];
    } else if (args[i] == "--role" && hasValue) {
      roleText = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      return usage(USERS_USAGE);
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.empty()) return usage(USERS_USAGE);
  const std::string& verb = words[0];
  Accounts accounts;
  std::string error;
  if (!accounts.load(accountsFile, error)) {
    std::fprintf(stderr, "ate-station: %s\n", error.c_str());
    return 1;
  }
  if (verb == "list" && words.size() == 1) {
    for (const Account& account : accounts.list()) {
      std::printf("%-32s %-8s %s, %zu API tokens\n", account.name.c_str(), roleName(account.role),
                  account.created.c_str(), account.tokens.size());
    }
    if (accounts.empty()) std::printf("no accounts in %s\n", accountsFile.c_str());
    return 0;
  }
  if (words.size() < 2) return usage(USERS_USAGE);
  const std::string& name = words[1];
  if (verb == "role" && words.size() == 3) roleText = words[2];
  const std::optional<Role> role = roleNamed(roleText);
  std::string what;
  bool done = false;
  std::string password;
  if (verb == "add" && words.size() == 2 && role) {
    done = newPassword(password) && accounts.add(name, *role, password, error);
    what = "account " + name + " added as " + roleText;
  } else if (verb == "passwd" && words.size() == 2) {
    done = accounts.find(name).has_value() && newPassword(password) &&
           accounts.setPassword(name, password, error);
    if (!accounts.find(name)) error = "there is no account " + name;
    what = "the password of account " + name + " changed";
  } else if (verb == "role" && words.size() == 3 && role) {
    done = accounts.setRole(name, *role, error);
    what = "account " + name + " made " + roleText;
  } else if (verb == "remove" && words.size() == 2) {
    done = accounts.remove(name, error);
    what = "account " + name + " removed";
  } else {
    return usage(USERS_USAGE);
  }
  if (!done) {
    std::fprintf(stderr, "ate-station: %s\n", error.empty() ? "no password given" : error.c_str());
    return 1;
  }
  AuditTrail audit;
  std::string auditError;
  if (audit.open(auditFile, auditError)) {
    audit.append(AuditEntry{operatingUser(), "", "", what, "done"});
  } else {
    std::fprintf(stderr, "ate-station: %s: the change is not in the audit trail\n",
                 auditError.c_str());
  }
  std::printf("%s (%s)\n", what.c_str(), accountsFile.c_str());
  return 0;
}

int auditCommand(const std::vector<std::string>& args) {
  const char* const AUDIT_USAGE =
      "usage: ate-station audit verify FILE [--anchors DATALOG...]\n"
      "  checks that no line of the audit trail was edited, deleted or put in, and that every\n"
      "  anchor the datalogs took is a line the trail still holds; exit 0 when it holds, 1\n"
      "  when it doesn't\n";
  if (args.size() < 2 || args[0] != "verify") return usage(AUDIT_USAGE);
  std::vector<std::string> anchors;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (i == 2 && args[i] == "--anchors") continue;
    if (args[2] != "--anchors") return usage(AUDIT_USAGE);
    std::string error;
    for (const std::string& anchor : datalogAnchors(args[i], error)) anchors.push_back(anchor);
    if (!error.empty()) {
      std::fprintf(stderr, "ate-station: %s\n", error.c_str());
      return 2;
    }
  }
  const TrailCheck check = verifyTrail(args[1], anchors);
  std::printf("%s: %s\n", args[1].c_str(), check.message.c_str());
  return check.holds ? 0 : 1;
}
