// ate-station's commands beside serving: the accounts (ate-station users ...) and the audit
// trail's check (ate-station audit verify ...). Each returns the process's exit status.
#ifndef ATE_STATION_STATIONCOMMANDS_H_
#define ATE_STATION_STATIONCOMMANDS_H_

#include <string>
#include <vector>

// ate-station users add NAME --role ROLE | passwd NAME | role NAME ROLE | remove NAME | list
//                   [--accounts FILE] [--audit FILE]
int usersCommand(const std::vector<std::string>& args);

// ate-station audit verify FILE [--anchors DATALOG...]
int auditCommand(const std::vector<std::string>& args);

#endif  // ATE_STATION_STATIONCOMMANDS_H_
