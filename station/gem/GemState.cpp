// The part of the equipment's state the host configures, kept in a JSON file so that a station
// started again keeps the host's reports: {"reports": {"RPTID": [VID, ...]}, "links": {"CEID":
// [RPTID, ...]}, "disabledEvents": [...], "disabledAlarms": [...], "constants": {"ECID": value}}.
#include <fstream>
#include <nlohmann/json.hpp>

#include "station/gem/GemEquipment.h"

namespace gem {

namespace {

std::map<std::uint32_t, std::vector<std::uint32_t>> idLists(const nlohmann::json& object) {
  std::map<std::uint32_t, std::vector<std::uint32_t>> out;
  if (!object.is_object()) return out;
  for (const auto& [key, list] : object.items()) {
    out[static_cast<std::uint32_t>(std::stoul(key))] = list.get<std::vector<std::uint32_t>>();
  }
  return out;
}

}  // namespace

void GemEquipment::load() {
  if (options_.stateFile.empty()) return;
  std::ifstream in(options_.stateFile);
  if (!in) return;
  try {
    const nlohmann::json doc = nlohmann::json::parse(in);
    for (const auto& [rptid, vids] : idLists(doc.value("reports", nlohmann::json::object()))) {
      reports_[rptid] = Report{vids};
    }
    links_ = idLists(doc.value("links", nlohmann::json::object()));
    for (const std::uint32_t id : doc.value("disabledEvents", std::vector<std::uint32_t>())) {
      disabledEvents_.insert(id);
    }
    for (const std::uint32_t id : doc.value("disabledAlarms", std::vector<std::uint32_t>())) {
      disabledAlarms_.insert(id);
    }
    if (doc.contains("constants") && doc["constants"].is_object()) {
      for (const auto& [key, number] : doc["constants"].items()) {
        const auto id = static_cast<std::uint32_t>(std::stoul(key));
        if (constants_.count(id) > 0 && number.is_number()) constants_[id] = number.get<double>();
      }
    }
  } catch (const std::exception& e) {
    reports_.clear();
    links_.clear();
    if (actions_.note) {
      actions_.note("gem: " + options_.stateFile.u8string() +
                    " can't be read; the host's reports start empty (" + e.what() + ")");
    }
  }
}

void GemEquipment::save() const {
  if (options_.stateFile.empty()) return;
  nlohmann::json doc;
  doc["reports"] = nlohmann::json::object();
  for (const auto& [rptid, report] : reports_)
    doc["reports"][std::to_string(rptid)] = report.variables;
  doc["links"] = nlohmann::json::object();
  for (const auto& [ceid, rptids] : links_) doc["links"][std::to_string(ceid)] = rptids;
  doc["disabledEvents"] = disabledEvents_;
  doc["disabledAlarms"] = disabledAlarms_;
  doc["constants"] = nlohmann::json::object();
  for (const auto& [id, number] : constants_) doc["constants"][std::to_string(id)] = number;
  const std::filesystem::path temporary = options_.stateFile.u8string() + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << doc.dump(2) << '\n';
    if (!out.flush()) {
      if (actions_.note) actions_.note("gem: cannot write " + temporary.u8string());
      return;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, options_.stateFile, error);
  if (error && actions_.note) {
    actions_.note("gem: cannot replace " + options_.stateFile.u8string() + ": " + error.message());
  }
}

}  // namespace gem
