// Released test programs: an engineer releases a project's library, one of its flows and some of
// its settings under a name and a revision; the release records each file's SHA-256, who
// released it and when. Lots run released programs only, and only while every file is as it was
// released. Kept in a JSON file beside the accounts; a name and revision, once released, is
// never changed. Thread-safe.
#ifndef ATE_STATION_ACCESS_RELEASES_H_
#define ATE_STATION_ACCESS_RELEASES_H_

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ProjectCatalog;

struct ReleasedFile {
  std::string role;  // "library", "flow" or "setting"
  std::string file;  // its name in the project's folder
  std::string sha256;
};

struct Release {
  std::string name, revision;
  std::string project, flow;
  std::vector<std::string> settings;
  std::vector<ReleasedFile> files;
  std::string by, at;  // the engineer's account, and when (UTC)
};

class Releases {
 public:
  // Reads the file (a missing one holds none yet); false with error when it can't be read.
  bool load(const std::filesystem::path& file, std::string& error);

  std::vector<Release> list() const;
  std::optional<Release> find(const std::string& name, const std::string& revision) const;

  // Releases the project's files as they are now, by the account; an HTTP status (200; 400 for a
  // bad request, 404 for a file the project hasn't, 409 for a name and revision released
  // already, 500 when it can't be saved) with error.
  int add(Release release, const ProjectCatalog& catalog, std::string& error);

 private:
  bool save(std::string& error);  // under the lock

  mutable std::mutex mutex_;  // guards everything below
  std::filesystem::path file_;
  std::vector<Release> releases_;
};

// The release's files as they are now against their released hashes: empty when every one is
// the same, else one sentence for each that changed ("the release's library pmic_project.so
// changed since it was released") or can't be read.
std::vector<std::string> releaseChanges(const Release& release, const ProjectCatalog& catalog);

#endif  // ATE_STATION_ACCESS_RELEASES_H_
