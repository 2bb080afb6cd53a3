// The station's test programs: one subfolder of the projects folder each, holding the project's
// library, its flow files and its setting files. The browser names them; only this class turns
// a name into a path, and only into a path inside the projects folder.
#ifndef ATE_STATION_PROJECTCATALOG_H_
#define ATE_STATION_PROJECTCATALOG_H_

#include <filesystem>
#include <string>
#include <vector>

struct ProjectEntry {
  std::string name;
  std::string library;                // file name of its library; empty when it has none
  std::vector<std::string> flows;     // file names, sorted
  std::vector<std::string> settings;  // file names, sorted
};

class ProjectCatalog {
 public:
  // librarySuffix: the platform's shared library suffix (".so", ".dll").
  ProjectCatalog(std::filesystem::path root, std::string librarySuffix);

  // Reads the folder afresh. A JSON file is a flow when its top level has "testItems", a
  // setting when it has "executeSetting"; other files are not listed.
  std::vector<ProjectEntry> list() const;

  // The file name of the project's library (the first file with the library suffix that stays
  // inside the projects folder), or "" when it has none; project must be a valid name.
  std::string library(const std::string& project) const;

  // Whether name can name an entry at all: not empty, no separator, not "." or "..", no drive
  // or stream colon, no control character. An absolute path fails here too.
  static bool validName(const std::string& name);

  // The path of file in project (file empty: the project's folder), or an empty path with error
  // set: "bad" when a name is invalid or the path leads out of the projects folder (through a
  // link, say), "missing" when it doesn't exist.
  enum class Lookup { ok, bad, missing };
  Lookup resolve(const std::string& project, const std::string& file, std::filesystem::path& path,
                 std::string& error) const;

  // What a load of flow in project needs: the paths of the project's library and of the flow,
  // looked up as resolve() does. A project without a library is missing too.
  Lookup resolveLoad(const std::string& project, const std::string& flow,
                     std::filesystem::path& library, std::filesystem::path& flowPath,
                     std::string& error) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;  // canonical
  std::string librarySuffix_;
};

#endif  // ATE_STATION_PROJECTCATALOG_H_
