// Who may do what on the station: three roles, each allowed what the one below may and more.
//   operator   look; start, pause, resume and end lots from released programs; clear alarms
//   engineer   also engineering load, run, stop and unload of any project; release programs;
//              read the audit trail
//   admin      also the accounts
#ifndef ATE_STATION_ACCESS_ROLES_H_
#define ATE_STATION_ACCESS_ROLES_H_

#include <optional>
#include <string>

enum class Role { operatorRole = 1, engineer = 2, admin = 3 };

inline const char* roleName(Role role) {
  switch (role) {
    case Role::operatorRole:
      return "operator";
    case Role::engineer:
      return "engineer";
    case Role::admin:
      return "admin";
  }
  return "operator";
}

inline std::optional<Role> roleNamed(const std::string& name) {
  for (const Role role : {Role::operatorRole, Role::engineer, Role::admin}) {
    if (name == roleName(role)) return role;
  }
  return std::nullopt;
}

// Whether role may do what needs at least `needed`.
inline bool allows(Role role, Role needed) {
  return static_cast<int>(role) >= static_cast<int>(needed);
}

#endif  // ATE_STATION_ACCESS_ROLES_H_
