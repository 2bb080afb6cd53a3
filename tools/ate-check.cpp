// ate-check: checks a test program before it reaches the floor and lists every problem found,
// each with its file and JSON path. The library, when given, is never loaded.
//
//   ate-check [--json] [--library LIB] FLOW [SETTING...]
//   ate-check [--json] --release NAME@REVISION [--releases FILE] [--projects DIR]
//
// A release (as a station keeps them) is checked file by file against the digests it was
// released with, then as its library, flow and settings.
//
// Exit status: 0 nothing found, 1 warnings only, 2 errors, 64 wrong arguments.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "AteVersion.h"
#include "check/Checker.h"
#include "station/ProjectCatalog.h"
#include "station/access/Releases.h"

namespace {

constexpr int USAGE = 64;

void usage(std::FILE* out) {
  std::fputs(
      "usage: ate-check [--version] [--json] [--library LIB] FLOW [SETTING...]\n"
      "       ate-check [--json] --release NAME@REVISION [--releases FILE] [--projects DIR]\n"
      "  --releases FILE  the station's released programs (default: releases.json)\n"
      "  --projects DIR   the station's projects folder (default: projects)\n",
      out);
}

struct ReleaseRequest {
  std::string name;  // NAME@REVISION
  std::string releases = "releases.json";
  std::string projects = "projects";
};

// The release's files against their digests (each change an error), and the program it names as
// a request for the usual checks; nothing to check further when the release can't be found.
std::optional<CheckRequest> checkRelease(const ReleaseRequest& wanted,
                                         std::vector<Finding>& findings) {
  const auto error = [&](const std::string& file, const std::string& message) {
    findings.push_back({Finding::Severity::error, file, "", message});
  };
  const std::size_t at = wanted.name.find('@');
  if (at == std::string::npos) {
    error(wanted.releases, "a release is named NAME@REVISION, not " + wanted.name);
    return std::nullopt;
  }
  Releases releases;
  std::string problem;
  if (!std::filesystem::exists(wanted.releases)) {
    error(wanted.releases, "no such file: no program has been released here");
    return std::nullopt;
  }
  if (!releases.load(wanted.releases, problem)) {
    error(wanted.releases, problem);
    return std::nullopt;
  }
  const std::optional<Release> release =
      releases.find(wanted.name.substr(0, at), wanted.name.substr(at + 1));
  if (!release) {
    error(wanted.releases, "there is no release " + wanted.name);
    return std::nullopt;
  }
  const ProjectCatalog catalog(wanted.projects, ATE_LIBRARY_SUFFIX);
  for (const std::string& change : releaseChanges(*release, catalog)) {
    error(wanted.projects + "/" + release->project, change);
  }
  CheckRequest request;
  const auto pathOf = [&](const std::string& file) {
    return (std::filesystem::path(wanted.projects) / release->project / file).u8string();
  };
  for (const ReleasedFile& file : release->files) {
    if (file.role == "library") request.library = pathOf(file.file);
  }
  request.flow = pathOf(release->flow);
  for (const std::string& setting : release->settings) request.settings.push_back(pathOf(setting));
  return request;
}

}  // namespace

int main(int argc, char** argv) {
  CheckRequest request;
  std::optional<ReleaseRequest> release;
  bool asJson = false;
  bool haveFlow = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      usage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("ate-check %s\n", ATE_VERSION);
      return 0;
    } else if (arg == "--json") {
      asJson = true;
    } else if (arg == "--library" && i + 1 < argc) {
      request.library = argv[++i];
    } else if (arg == "--release" && i + 1 < argc) {
      if (!release) release.emplace();
      release->name = argv[++i];
    } else if ((arg == "--releases" || arg == "--projects") && i + 1 < argc) {
      if (!release) release.emplace();
      (arg == "--releases" ? release->releases : release->projects) = argv[++i];
    } else if (arg.compare(0, 2, "--") == 0 || arg.empty()) {
      usage(stderr);
      return USAGE;
    } else if (!haveFlow) {
      request.flow = arg;
      haveFlow = true;
    } else {
      request.settings.push_back(arg);
    }
  }
  // A program is named either by its files or as a release, not both.
  if (release ? (release->name.empty() || haveFlow || !request.library.empty()) : !haveFlow) {
    usage(stderr);
    return USAGE;
  }

  std::vector<Finding> findings;
  if (release) {
    if (const std::optional<CheckRequest> released = checkRelease(*release, findings)) {
      const std::vector<Finding> more = checkProgram(*released);
      findings.insert(findings.end(), more.begin(), more.end());
    }
  } else {
    findings = checkProgram(request);
  }
  std::string text;
  if (asJson) {
    text = findingsJson(findings) + "\n";
  } else {
    int errors = 0;
    for (const Finding& finding : findings) {
      text += formatFinding(finding) + "\n";
      errors += finding.severity == Finding::Severity::error ? 1 : 0;
    }
    const std::size_t warnings = findings.size() - static_cast<std::size_t>(errors);
    text += std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
            std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return checkStatus(findings);
}
