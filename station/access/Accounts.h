// The station's accounts: a JSON file of names, roles, password hashes (crypto/PasswordHash.h)
// and each account's API tokens, stored as their SHA-256 (a token is shown once, when made). The
// file is the station's account's alone (mode 600 on POSIX): one that others may read is refused.
// Thread-safe; every change is saved at once, the file replaced whole. Changes others make to the
// file (`ate-station users` while the station runs) are taken up by refresh().
#ifndef ATE_STATION_ACCESS_ACCOUNTS_H_
#define ATE_STATION_ACCESS_ACCOUNTS_H_

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/access/Roles.h"

struct ApiToken {
  std::string name;
  std::string sha256;  // of the token text
  std::string created;
};

struct Account {
  std::string name;
  Role role = Role::operatorRole;
  std::string password;  // the hash
  std::string created;
  std::vector<ApiToken> tokens;
};

class Accounts {
 public:
  // Reads the file (a missing one holds no accounts yet). False with error when it can't be read,
  // is malformed, or others may read it.
  bool load(const std::filesystem::path& file, std::string& error);
  const std::filesystem::path& file() const { return file_; }

  // Reads the file again when it changed since it was last read or written: the names of the
  // accounts removed or given a new password (whose sessions should end). A file that can't be
  // read whole leaves the accounts as they were.
  std::vector<std::string> refresh();

  bool empty() const;
  std::vector<Account> list() const;
  std::optional<Account> find(const std::string& name) const;

  // The account when the password is its own (about 0.15 s, whatever the answer).
  std::optional<Account> verify(const std::string& name, const std::string& password) const;
  // The account an API token belongs to.
  std::optional<Account> byToken(const std::string& token) const;

  // Changes, each saved; false with error saying why.
  bool add(const std::string& name, Role role, const std::string& password, std::string& error);
  bool setPassword(const std::string& name, const std::string& password, std::string& error);
  bool setRole(const std::string& name, Role role, std::string& error);
  bool remove(const std::string& name, std::string& error);
  // A new API token of the account, named: its text, shown this once; empty on failure.
  std::string addToken(const std::string& account, const std::string& tokenName,
                       std::string& error);

  // A name an account may have: 1 to 32 letters, digits, '.', '-' or '_'.
  static bool validName(const std::string& name);
  // A password long enough: 10 characters at least.
  static bool validPassword(const std::string& password, std::string& error);

 private:
  // When the file was written and how long it was: a change by another program shows in either.
  struct Stamp {
    bool exists = false;
    std::filesystem::file_time_type written{};
    std::uintmax_t size = 0;
    bool operator==(const Stamp& other) const {
      return exists == other.exists && written == other.written && size == other.size;
    }
  };
  // Under the lock, all of them.
  bool save(std::string& error);
  Account* findLocked(const std::string& name);
  bool readLocked(std::vector<Account>& into, std::string& error);
  std::vector<std::string> refreshLocked();
  Stamp stampNow() const;

  mutable std::mutex mutex_;  // guards everything below
  std::filesystem::path file_;
  std::vector<Account> accounts_;
  Stamp stamp_;  // of the file as last read or written
};

#endif  // ATE_STATION_ACCESS_ACCOUNTS_H_
