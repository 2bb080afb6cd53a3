#include "station/access/Accounts.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include <ctime>
#include <fstream>
#include <iterator>

#include "crypto/Digest.h"
#include "crypto/PasswordHash.h"
#include "crypto/Random.h"
#include "station/Platform.h"
#include "stdf/TableExport.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::string now() { return stdf::isoUtc(static_cast<std::uint64_t>(std::time(nullptr))); }

// What an unknown account's password is checked against, so that a wrong name takes as long as a
// wrong password.
const std::string& decoyHash() {
  static const std::string hash = crypto::hashPassword("no account has this password");
  return hash;
}

}  // namespace

bool Accounts::validName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (const char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain) return false;
  }
  return true;
}

bool Accounts::validPassword(const std::string& password, std::string& error) {
  if (password.size() < 10) {
    error = "a password needs 10 characters at least";
    return false;
  }
  if (password.size() > 1024) {
    error = "a password may have 1024 characters at most";
    return false;
  }
  return true;
}

bool Accounts::load(const fs::path& file, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = file;
  accounts_.clear();
  stamp_ = {};
  std::error_code failure;
  if (!fs::exists(file, failure)) return true;
  if (!station_platform::ownerOnly(file)) {
    error = file.u8string() +
            " may be read by others than its owner: it holds the station's accounts (chmod 600 "
            "it)";
    return false;
  }
  return readLocked(accounts_, error);
}

Accounts::Stamp Accounts::stampNow() const {
  std::error_code failure;
  Stamp stamp;
  stamp.written = fs::last_write_time(file_, failure);
  if (failure) return {};
  stamp.size = fs::file_size(file_, failure);
  stamp.exists = !failure;
  return stamp;
}

bool Accounts::readLocked(std::vector<Account>& into, std::string& error) {
  const Stamp stamp = stampNow();
  std::ifstream in(file_, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in) {
    error = "cannot read " + file_.u8string();
    return false;
  }
  std::vector<Account> read;
  try {
    const Json document = Json::parse(text);
    for (const Json& entry : document.at("accounts")) {
      Account account;
      account.name = entry.at("name").get<std::string>();
      const std::optional<Role> role = roleNamed(entry.at("role").get<std::string>());
      if (!role || !validName(account.name)) throw std::invalid_argument("a bad account");
      account.role = *role;
      account.password = entry.at("password").get<std::string>();
      account.created = entry.value("created", "");
      for (const Json& token : entry.value("tokens", Json::array())) {
        account.tokens.push_back({token.at("name").get<std::string>(),
                                  token.at("sha256").get<std::string>(),
                                  token.value("created", "")});
      }
      read.push_back(std::move(account));
    }
  } catch (const std::exception& failure) {
    error = file_.u8string() + " is not an accounts file: " + failure.what();
    return false;
  }
  into = std::move(read);
  stamp_ = stamp;
  return true;
}

std::vector<std::string> Accounts::refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  return refreshLocked();
}

std::vector<std::string> Accounts::refreshLocked() {
  const Stamp now = stampNow();
  if (file_.empty() || now == stamp_) return {};
  std::vector<Account> read;
  std::string error;
  // A file being written by another program, or one that went away, leaves the accounts as they
  // were until it reads whole again.
  if (!now.exists || !station_platform::ownerOnly(file_) || !readLocked(read, error)) return {};
  std::vector<std::string> ended;
  for (const Account& before : accounts_) {
    const auto after = std::find_if(read.begin(), read.end(),
                                    [&](const Account& a) { return a.name == before.name; });
    if (after == read.end() || after->password != before.password) ended.push_back(before.name);
  }
  accounts_ = std::move(read);
  return ended;
}

bool Accounts::save(std::string& error) {
  Json list = Json::array();
  for (const Account& account : accounts_) {
    Json tokens = Json::array();
    for (const ApiToken& token : account.tokens) {
      tokens.push_back(
          {{"name", token.name}, {"sha256", token.sha256}, {"created", token.created}});
    }
    list.push_back({{"name", account.name},
                    {"role", roleName(account.role)},
                    {"password", account.password},
                    {"created", account.created},
                    {"tokens", tokens}});
  }
  const std::string text = Json{{"accounts", list}}.dump(2) + "\n";
  const fs::path aside = file_.u8string() + ".new";
  std::error_code failure;
  fs::remove(aside, failure);
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    // Nobody but the owner may read it, from before its first byte is written.
    fs::permissions(aside, fs::perms::owner_read | fs::perms::owner_write, failure);
    out << text;
    if (!out.flush()) {
      error = "cannot write " + aside.u8string();
      return false;
    }
  }
  station_platform::sameOwner(aside, file_);
  // On the disk before it takes the old one's place, and the place taken before we answer.
  if (!station_platform::syncFile(aside, error)) return false;
  fs::rename(aside, file_, failure);
  if (failure) {
    error = "cannot replace " + file_.u8string() + ": " + failure.message();
    return false;
  }
  station_platform::syncFolder(file_.parent_path());
  stamp_ = stampNow();
  return true;
}

bool Accounts::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accounts_.empty();
}

std::vector<Account> Accounts::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accounts_;
}

Account* Accounts::findLocked(const std::string& name) {
  for (Account& account : accounts_) {
    if (account.name == name) return &account;
  }
  return nullptr;
}

std::optional<Account> Accounts::find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Account& account : accounts_) {
    if (account.name == name) return account;
  }
  return std::nullopt;
}

std::optional<Account> Accounts::verify(const std::string& name,
                                        const std::string& password) const {
  std::optional<Account> account = find(name);
  // The hash is computed outside the lock: it takes a while.
  const bool matches = crypto::verifyPassword(password, account ? account->password : decoyHash());
  if (!account || !matches) return std::nullopt;
  return account;
}

std::optional<Account> Accounts::byToken(const std::string& token) const {
  if (token.empty()) return std::nullopt;
  const std::string digest = crypto::sha256(token);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Account& account : accounts_) {
    for (const ApiToken& stored : account.tokens) {
      if (crypto::sameSecret(stored.sha256, digest)) return account;
    }
  }
  return std::nullopt;
}

bool Accounts::add(const std::string& name, Role role, const std::string& password,
                   std::string& error) {
  if (!validName(name)) {
    error = "an account's name has 1 to 32 letters, digits, '.', '-' or '_'";
    return false;
  }
  if (!validPassword(password, error)) return false;
  const std::string hash = crypto::hashPassword(password);
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  if (findLocked(name) != nullptr) {
    error = "there is an account " + name + " already";
    return false;
  }
  accounts_.push_back(Account{name, role, hash, now(), {}});
  if (save(error)) return true;
  accounts_.pop_back();
  return false;
}

bool Accounts::setPassword(const std::string& name, const std::string& password,
                           std::string& error) {
  if (!validPassword(password, error)) return false;
  const std::string hash = crypto::hashPassword(password);
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  Account* account = findLocked(name);
  if (account == nullptr) {
    error = "there is no account " + name;
    return false;
  }
  account->password = hash;
  return save(error);
}

bool Accounts::setRole(const std::string& name, Role role, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  Account* account = findLocked(name);
  if (account == nullptr) {
    error = "there is no account " + name;
    return false;
  }
  account->role = role;
  return save(error);
}

bool Accounts::remove(const std::string& name, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  for (auto it = accounts_.begin(); it != accounts_.end(); ++it) {
    if (it->name == name) {
      accounts_.erase(it);
      return save(error);
    }
  }
  error = "there is no account " + name;
  return false;
}

std::string Accounts::addToken(const std::string& name, const std::string& tokenName,
                               std::string& error) {
  if (tokenName.empty() || tokenName.size() > 64) {
    error = "a token's name has 1 to 64 characters";
    return "";
  }
  const std::string token = "ate_" + crypto::randomText(32);
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  Account* account = findLocked(name);
  if (account == nullptr) {
    error = "there is no account " + name;
    return "";
  }
  account->tokens.push_back({tokenName, crypto::sha256(token), now()});
  if (save(error)) return token;
  account->tokens.pop_back();
  return "";
}
