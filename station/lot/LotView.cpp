#include "station/lot/LotView.h"

#include <nlohmann/json.hpp>

namespace lot {

namespace {

using Json = nlohmann::json;

Json alarmsJson(const std::vector<Alarm>& alarms) {
  Json out = Json::array();
  for (const Alarm& alarm : alarms) out.push_back({{"time", alarm.time}, {"text", alarm.text}});
  return out;
}

Json figuresJson(const LotBook& book, const LiveState& live) {
  const LotFigures& f = book.figures();
  Json sites = Json::array();
  for (const auto& [number, site] : f.sites()) {
    sites.push_back({{"site", number},
                     {"device", site.device},
                     {"parts", site.parts},
                     {"good", site.good},
                     {"yield", LotFigures::percent(site.good, site.parts)}});
  }
  Json bins = Json::array();
  for (const auto& [bin, n] : f.hardBins()) bins.push_back({{"bin", bin}, {"count", n}});
  Json wafers = Json::array();
  for (const Wafer& wafer : book.wafers().wafers()) {
    const long dies = static_cast<long>(wafer.dies.size());
    wafers.push_back({{"id", wafer.id},
                      {"dies", dies},
                      {"parts", wafer.parts.size()},
                      {"good", wafer.good},
                      {"retests", wafer.retests},
                      {"yield", LotFigures::percent(wafer.good, dies)},
                      {"ended", wafer.ended}});
  }
  Json testing = Json::array();
  for (const handler::SiteEntry& entry : live.testing) {
    if (entry.die)
      testing.push_back({{"site", entry.site}, {"x", entry.die->x}, {"y", entry.die->y}});
  }
  const Wafer* current = book.wafers().current();
  return {{"parts", f.parts()},
          {"retests", f.retests()},
          {"good", f.good()},
          {"yield", f.yield()},
          {"wafers", wafers},
          {"wafer", current != nullptr ? Json(current->id) : Json(nullptr)},
          {"testingDies", testing},
          {"touchdowns", book.touchdowns()},
          {"sites", sites},
          {"bins", bins},
          {"unitsPerHour", f.unitsPerHour()},
          {"testTimeMs", f.testTimeMs()},
          {"indexTimeMs", f.indexTimeMs()}};
}

}  // namespace

std::string lotJson(const LotBook& book, const LiveState& live) {
  const char* phase = "idle";
  if (book.phase() == Phase::running) phase = book.paused() ? "paused" : "running";
  if (book.phase() == Phase::ended) phase = "ended";
  Json alarms = alarmsJson(live.stationAlarms);
  for (const Json& alarm : alarmsJson(book.alarms())) alarms.push_back(alarm);
  Json body = {{"state", phase},
               {"handler",
                {{"configured", live.handlerConfigured},
                 {"connected", live.handlerConnected},
                 {"state", live.handlerState}}},
               {"pauseReason", book.phase() == Phase::running ? book.pauseReason() : ""},
               {"alarms", alarms}};
  if (book.phase() != Phase::idle) {
    const LotRequest& r = book.lot().request;
    body["lot"] = {{"project", book.lot().project},
                   {"flow", book.lot().flow},
                   {"setting", r.setting},
                   {"lotId", r.lotId},
                   {"sublotId", r.sublotId},
                   {"operator", r.operatorName},
                   {"partType", r.partType},
                   {"testCode", r.testCode},
                   {"temperature", r.temperature},
                   {"retest", std::string(1, r.retestCode)},
                   {"startedAt", book.lot().startedAt},
                   {"datalogs", book.datalogs()},
                   {"resumedAfterRestart", book.restarts()}};
    if (!r.release.empty()) {
      body["lot"]["release"] = r.release;
      body["lot"]["revision"] = r.revision;
      body["lot"]["startedBy"] = book.lot().by;
    }
    body["figures"] = figuresJson(book, live);
    if (book.phase() == Phase::ended) body["endReason"] = book.endReason();
    if (!live.reportPath.empty()) body["lot"]["report"] = live.reportPath;
    if (r.pat) {
      Json pat = {{"limits", r.patLimits}, {"rules", r.patRules}};
      if (live.pat != nullptr) {
        Json outliers = Json::object();
        for (std::size_t rule = 0; rule < stdf::PAT_RULES; ++rule) {
          outliers[stdf::patRuleName(static_cast<stdf::PatRule>(rule))] = live.pat->outliers[rule];
        }
        Json dies = Json::object();
        for (const auto& [wafer, marked] : live.pat->dies) {
          Json list = Json::array();
          for (const auto& [xy, rule] : marked) list.push_back({xy.first, xy.second, rule});
          dies[wafer] = list;
        }
        pat["screened"] = {{"when", live.patWhen},
                           {"parts", live.pat->parts},
                           {"outliers", outliers},
                           {"dies", dies},
                           {"outputs", live.pat->outputs}};
      }
      body["lot"]["pat"] = pat;
    }
  }
  return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string waferJson(const LotBook& book, const std::string& id, std::size_t from) {
  const Wafer* wafer = book.wafers().find(id);
  if (wafer == nullptr) return "";
  Json parts = Json::array();
  for (std::size_t i = from; i < wafer->parts.size(); ++i) {
    const DiePart& part = wafer->parts[i];
    parts.push_back({part.x, part.y, part.site, part.hardBin, part.passed, part.partId});
  }
  return Json{{"id", wafer->id},
              {"from", from},
              {"next", wafer->parts.size()},
              {"ended", wafer->ended},
              {"parts", parts}}
      .dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace lot
