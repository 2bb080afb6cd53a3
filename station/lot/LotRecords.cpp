#include "station/lot/LotRecords.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>

namespace lot {

namespace {

using Json = nlohmann::json;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

const char* const HOLD_NAMES[] = {"operator", "guard", "handler", "program"};

Json sitePartJson(const SitePart& part) {
  Json out = {{"site", part.site}, {"id", part.partId}};
  if (part.die) {
    out["x"] = part.die->x;
    out["y"] = part.die->y;
  }
  if (part.retest) out["retest"] = true;
  return out;
}

SitePart sitePartOf(const Json& json) {
  SitePart part;
  part.site = json.at("site").get<int>();
  part.partId = json.at("id").get<std::uint64_t>();
  if (json.contains("x"))
    part.die = handler::DieXY{json.at("x").get<int>(), json.at("y").get<int>()};
  part.retest = json.value("retest", false);
  return part;
}

Hold holdOf(const Json& json) {
  const std::string name = json.get<std::string>();
  for (int i = 0; i < 4; ++i) {
    if (name == HOLD_NAMES[i]) return static_cast<Hold>(i);
  }
  throw std::invalid_argument("no hold \"" + name + "\"");
}

Json toJson(const Record& record) {
  return std::visit(
      Overloaded{
          [](const Started& r) {
            Json program = Json::array();
            for (const ProgramFile& file : r.program) {
              program.push_back(
                  {{"role", file.role}, {"path", file.path}, {"sha256", file.sha256}});
            }
            return Json{{"type", "lot"},
                        {"format", 1},
                        {"request", Json::parse(lotRequestJson(r.request))},
                        {"startedAt", r.startedAt},
                        {"by", r.by},
                        {"project", r.project},
                        {"flow", r.flow},
                        {"devices", r.devices},
                        {"failstop", r.failstop},
                        {"program", program}};
          },
          [](const DatalogOpened& r) {
            return Json{{"type", "datalog"}, {"file", r.file}, {"firstPartId", r.firstPartId}};
          },
          [](const DatalogDropped& r) {
            return Json{{"type", "datalogDropped"}, {"file", r.file}};
          },
          [](const WaferStarted& r) {
            return Json{{"type", "wafer"}, {"id", r.id}};
          },
          [](const WaferEnded&) {
            return Json{{"type", "waferEnd"}};
          },
          [](const TouchdownTaken& r) {
            Json sites = Json::array();
            for (const SitePart& part : r.sites) sites.push_back(sitePartJson(part));
            return Json{{"type", "sot"}, {"touchdown", r.number}, {"sites", sites}};
          },
          [](const TouchdownBinned& r) {
            Json parts = Json::array();
            for (const PartBin& part : r.parts) {
              parts.push_back({{"site", part.site},
                               {"bin", part.hardBin},
                               {"pass", part.passed},
                               {"category", part.category},
                               {"softBin", part.softBin}});
            }
            Json out = {{"type", "bins"}, {"touchdown", r.number}, {"parts", parts}};
            if (r.fromDatalog) out["fromDatalog"] = true;
            return out;
          },
          [](const BinSent& r) {
            return Json{{"type", "sent"}, {"touchdown", r.number}, {"ok", r.ok}};
          },
          [](const Paused& r) {
            return Json{{"type", "pause"},
                        {"hold", HOLD_NAMES[static_cast<int>(r.hold)]},
                        {"why", r.why},
                        {"by", r.by},
                        {"at", r.at}};
          },
          [](const Resumed& r) {
            return Json{{"type", "resume"},
                        {"hold", HOLD_NAMES[static_cast<int>(r.hold)]},
                        {"by", r.by},
                        {"at", r.at}};
          },
          [](const AlarmsCleared& r) {
            return Json{{"type", "alarmsCleared"}, {"by", r.by}, {"at", r.at}};
          },
          [](const Alarm& r) {
            return Json{{"type", "alarm"}, {"time", r.time}, {"text", r.text}};
          },
          [](const Restarted& r) {
            return Json{{"type", "restart"}, {"at", r.at}};
          },
          [](const EndAsked& r) {
            return Json{{"type", "endAsked"}, {"why", r.why}, {"by", r.by}, {"at", r.at}};
          },
          [](const Ended& r) {
            return Json{{"type", "end"}, {"why", r.why}};
          },
      },
      record);
}

using Reader = std::function<Record(const Json&)>;

const std::map<std::string, Reader>& readers() {
  static const std::map<std::string, Reader> table = {
      {"lot",
       [](const Json& j) -> Record {
         if (j.at("format").get<int>() != 1) throw std::invalid_argument("an unknown format");
         Started r;
         std::string error;
         if (!parseLotRequest(j.at("request").dump(), r.request, error)) {
           throw std::invalid_argument("its request: " + error);
         }
         r.startedAt = j.at("startedAt").get<std::string>();
         r.by = j.value("by", "");
         r.project = j.value("project", r.request.project);
         r.flow = j.value("flow", r.request.flow);
         r.devices = j.at("devices").get<std::vector<std::string>>();
         r.failstop = j.at("failstop").get<bool>();
         for (const Json& file : j.at("program")) {
           r.program.push_back({file.at("role").get<std::string>(),
                                file.at("path").get<std::string>(),
                                file.at("sha256").get<std::string>()});
         }
         return r;
       }},
      {"datalog",
       [](const Json& j) -> Record {
         return DatalogOpened{j.at("file").get<std::string>(),
                              j.at("firstPartId").get<std::uint64_t>()};
       }},
      {"datalogDropped",
       [](const Json& j) -> Record { return DatalogDropped{j.at("file").get<std::string>()}; }},
      {"wafer",
       [](const Json& j) -> Record { return WaferStarted{j.at("id").get<std::string>()}; }},
      {"waferEnd", [](const Json&) -> Record { return WaferEnded{}; }},
      {"sot",
       [](const Json& j) -> Record {
         TouchdownTaken r;
         r.number = j.at("touchdown").get<long>();
         for (const Json& site : j.at("sites")) r.sites.push_back(sitePartOf(site));
         return r;
       }},
      {"bins",
       [](const Json& j) -> Record {
         TouchdownBinned r;
         r.number = j.at("touchdown").get<long>();
         for (const Json& part : j.at("parts")) {
           r.parts.push_back({part.at("site").get<int>(), part.at("bin").get<int>(),
                              part.at("pass").get<bool>(), part.at("category").get<int>(),
                              part.value("softBin", 0)});
         }
         r.fromDatalog = j.value("fromDatalog", false);
         return r;
       }},
      {"sent",
       [](const Json& j) -> Record {
         return BinSent{j.at("touchdown").get<long>(), j.at("ok").get<bool>()};
       }},
      {"pause",
       [](const Json& j) -> Record {
         return Paused{holdOf(j.at("hold")), j.at("why").get<std::string>(), j.value("by", ""),
                       j.value("at", "")};
       }},
      {"resume",
       [](const Json& j) -> Record {
         return Resumed{holdOf(j.at("hold")), j.value("by", ""), j.value("at", "")};
       }},
      {"alarmsCleared",
       [](const Json& j) -> Record {
         return AlarmsCleared{j.value("by", ""), j.value("at", "")};
       }},
      {"alarm",
       [](const Json& j) -> Record {
         return Alarm{j.at("time").get<std::string>(), j.at("text").get<std::string>()};
       }},
      {"restart", [](const Json& j) -> Record { return Restarted{j.at("at").get<std::string>()}; }},
      {"endAsked",
       [](const Json& j) -> Record {
         return EndAsked{j.at("why").get<std::string>(), j.value("by", ""), j.value("at", "")};
       }},
      {"end", [](const Json& j) -> Record { return Ended{j.at("why").get<std::string>()}; }},
  };
  return table;
}

}  // namespace

std::string recordJson(const Record& record) {
  return toJson(record).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool parseRecord(const std::string& text, Record& record, std::string& error) {
  try {
    const Json json = Json::parse(text);
    const auto reader = readers().find(json.at("type").get<std::string>());
    if (reader == readers().end()) {
      error = "an unknown record \"" + json.at("type").get<std::string>() + "\"";
      return false;
    }
    record = reader->second(json);
    return true;
  } catch (const std::exception& failure) {
    error = std::string("a record that can't be read: ") + failure.what();
    return false;
  }
}

}  // namespace lot
