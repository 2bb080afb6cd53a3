// What the station needs of the platform beside sockets: its computer's name and whether a file
// is kept from other users. One source file per platform implements it.
#ifndef ATE_STATION_PLATFORM_H_
#define ATE_STATION_PLATFORM_H_

#include <filesystem>
#include <string>

namespace station_platform {

// The name of this computer ("" when the platform won't tell).
std::string computerName();

// Whether only the file's owner may read or change it (mode 600 or stricter on POSIX). Windows
// keeps such rights in access lists, which this doesn't read: there every file passes.
bool ownerOnly(const std::filesystem::path& file);

}  // namespace station_platform

#endif  // ATE_STATION_PLATFORM_H_
