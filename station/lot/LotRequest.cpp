#include "station/lot/LotRequest.h"

#include <nlohmann/json.hpp>

#include <set>
#include <utility>

using Json = nlohmann::json;

namespace {

const std::set<std::string> LOT_KEYS = {
    "release",  "revision",     "project",  "flow",     "setting",     "lotId",
    "sublotId", "operator",     "partType", "testCode", "temperature", "retest",
    "binMap",   "filePerWafer", "guards",   "wafer",    "pat"};

// The lot's "wafer" keys and the WCR fields they give.
enum class WaferValue { size, units, center, letter };
struct WaferKey {
  const char* key;
  const char* field;
  WaferValue value;
  const char* letters;  // for letter: the ones allowed
};
const WaferKey WAFER_KEYS[] = {{"size", "WAFR_SIZ", WaferValue::size, ""},
                               {"dieHeight", "DIE_HT", WaferValue::size, ""},
                               {"dieWidth", "DIE_WID", WaferValue::size, ""},
                               {"units", "WF_UNITS", WaferValue::units, ""},
                               {"flat", "WF_FLAT", WaferValue::letter, "UDLR"},
                               {"centerX", "CENTER_X", WaferValue::center, ""},
                               {"centerY", "CENTER_Y", WaferValue::center, ""},
                               {"posX", "POS_X", WaferValue::letter, "LR"},
                               {"posY", "POS_Y", WaferValue::letter, "UD"}};
const char* const UNIT_NAMES[] = {"", "in", "cm", "mm", "mil"};  // by WF_UNITS

// Sets error; false, for returning at once.
bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool text(const Json& body, const char* key, bool required, std::string& value,
          std::string& error) {
  const auto found = body.find(key);
  if (found == body.end() || found->is_null()) {
    if (required) error = std::string("the lot needs \"") + key + "\" as a string";
    return !required;
  }
  if (!found->is_string()) return fail(error, std::string("\"") + key + "\" must be a string");
  value = found->get<std::string>();
  return true;
}

bool count(const Json& value, const std::string& what, long& out, std::string& error) {
  if (!value.is_number_integer() || value.get<long long>() < 0 ||
      value.get<long long>() > 1000000000) {
    return fail(error, what + " must be a whole number from 0");
  }
  out = static_cast<long>(value.get<long long>());
  return true;
}

bool yieldGuard(const Json& value, const std::string& what, YieldGuard& guard, std::string& error) {
  if (!value.is_object()) {
    return fail(error, what + " must be an object {\"percent\": P, \"after\": M}");
  }
  for (const auto& [key, item] : value.items()) {
    if (key == "percent") {
      if (!item.is_number() || item.get<double>() < 0 || item.get<double>() > 100) {
        return fail(error, what + ".percent must be a number from 0 to 100");
      }
      guard.percent = item.get<double>();
    } else if (key == "after") {
      if (!count(item, what + ".after", guard.after, error)) return false;
    } else {
      return fail(error, what + " has no \"" + key + "\"");
    }
  }
  return true;
}

bool identity(const Json& document, LotRequest& request, std::string& error) {
  // A release, or a project and its flow.
  const bool released = document.contains("release") || document.contains("revision");
  if (released && (document.contains("project") || document.contains("flow"))) {
    return fail(error, "a lot names a release and revision, or a project and flow, not both");
  }
  if (!text(document, "release", released, request.release, error) ||
      !text(document, "revision", released, request.revision, error) ||
      !text(document, "project", !released, request.project, error) ||
      !text(document, "flow", !released, request.flow, error) ||
      !text(document, "setting", true, request.setting, error) ||
      !text(document, "lotId", true, request.lotId, error) ||
      !text(document, "sublotId", false, request.sublotId, error) ||
      !text(document, "operator", false, request.operatorName, error) ||
      !text(document, "partType", false, request.partType, error) ||
      !text(document, "testCode", false, request.testCode, error) ||
      !text(document, "temperature", false, request.temperature, error)) {
    return false;
  }
  if (request.lotId.empty()) return fail(error, "the lot needs a lotId");
  return true;
}

bool retest(const Json& value, LotRequest& request, std::string& error) {
  if (value.is_boolean()) {
    request.retestCode = value.get<bool>() ? 'Y' : 'N';
  } else if (value.is_number_integer() && value.get<int>() >= 0 && value.get<int>() <= 9) {
    request.retestCode = static_cast<char>('0' + value.get<int>());
  } else {
    return fail(error, "\"retest\" must be true, false or the number of retests from 0 to 9");
  }
  return true;
}

bool binMap(const Json& map, LotRequest& request, std::string& error) {
  if (!map.is_object()) {
    return fail(error, "\"binMap\" must be an object from hard bin to handler category");
  }
  for (const auto& [key, value] : map.items()) {
    long bin = -1;
    long category = -1;
    const bool numeric =
        !key.empty() && key.size() <= 5 && key.find_first_not_of("0123456789") == std::string::npos;
    if (!numeric || (bin = std::stol(key)) > 65535 ||
        !count(value, "the category of bin " + key, category, error) || category > 65535) {
      if (error.empty() || numeric) {
        error = "\"binMap\" maps hard bins (0 to 65535) to categories (0 to 65535): \"" + key +
                "\" doesn't fit";
      }
      return false;
    }
    request.binMap[static_cast<int>(bin)] = static_cast<int>(category);
  }
  return true;
}

bool guards(const Json& value, LotGuards& guards, std::string& error) {
  if (!value.is_object()) return fail(error, "\"guards\" must be an object");
  for (const auto& [key, item] : value.items()) {
    bool ok = false;
    if (key == "siteFailsInRow") {
      ok = count(item, "guards.siteFailsInRow", guards.siteFailsInRow, error);
    } else if (key == "siteYield") {
      ok = yieldGuard(item, "guards.siteYield", guards.siteYield, error);
    } else if (key == "lotYield") {
      ok = yieldGuard(item, "guards.lotYield", guards.lotYield, error);
    } else {
      error = "there is no guard \"" + key + "\" (siteFailsInRow, siteYield, lotYield)";
    }
    if (!ok) return false;
  }
  return true;
}

bool waferEntry(const WaferKey& entry, const Json& item, std::string& value, std::string& error) {
  const std::string what = std::string("wafer.") + entry.key;
  switch (entry.value) {
    case WaferValue::size:
      if (!item.is_number() || !(item.get<double>() > 0) || item.get<double>() > 1e6) {
        return fail(error, what + " must be a positive number");
      }
      value = item.dump();
      return true;
    case WaferValue::units:
      for (int unit = 1; unit <= 4; ++unit) {
        if (item.is_string() && item.get<std::string>() == UNIT_NAMES[unit]) {
          value = std::to_string(unit);
          return true;
        }
      }
      return fail(error, what + " must be \"in\", \"cm\", \"mm\" or \"mil\"");
    case WaferValue::center:
      if (!item.is_number_integer() || item.get<long>() < -32767 || item.get<long>() > 32767) {
        return fail(error, what + " must be a whole number from -32767 to 32767");
      }
      value = std::to_string(item.get<long>());
      return true;
    case WaferValue::letter: {
      const std::string allowed = entry.letters;
      if (!item.is_string() || item.get<std::string>().size() != 1 ||
          allowed.find(item.get<std::string>()[0]) == std::string::npos) {
        return fail(error, what + " must be one of the letters " + allowed);
      }
      value = item.get<std::string>();
      return true;
    }
  }
  return false;
}

// The lot's "wafer": what the WCR says about its wafers, by the WCR's field names.
bool waferConfig(const Json& value, std::map<std::string, std::string>& out, std::string& error) {
  if (!value.is_object()) {
    return fail(error,
                "\"wafer\" must be an object (size, dieHeight, dieWidth, units, flat, centerX, "
                "centerY, posX, posY)");
  }
  for (const auto& [key, item] : value.items()) {
    const WaferKey* entry = nullptr;
    for (const WaferKey& candidate : WAFER_KEYS) {
      if (key == candidate.key) entry = &candidate;
    }
    if (entry == nullptr) return fail(error, "a wafer has no \"" + key + "\"");
    if (!waferEntry(*entry, item, out[entry->field], error)) return false;
  }
  return true;
}

}  // namespace

bool parseLotRequest(const std::string& body, LotRequest& request, std::string& error) {
  Json document;
  try {
    document = Json::parse(body);
  } catch (const Json::exception& failure) {
    return fail(error, std::string("the lot is not valid JSON: ") + failure.what());
  }
  if (!document.is_object()) return fail(error, "the lot must be a JSON object");
  for (const auto& [key, value] : document.items()) {
    if (LOT_KEYS.count(key) == 0) return fail(error, "a lot has no \"" + key + "\"");
  }
  request = LotRequest{};
  if (!identity(document, request, error)) return false;
  const auto has = [&](const char* key) { return document.find(key) != document.end(); };
  if (has("retest") && !retest(document.at("retest"), request, error)) return false;
  if (has("binMap") && !binMap(document.at("binMap"), request, error)) return false;
  if (has("filePerWafer")) {
    if (!document.at("filePerWafer").is_boolean()) {
      return fail(error, "\"filePerWafer\" must be true or false");
    }
    request.filePerWafer = document.at("filePerWafer").get<bool>();
  }
  if (has("wafer") && !waferConfig(document.at("wafer"), request.waferConfig, error)) return false;
  if (has("guards") && !guards(document.at("guards"), request.guards, error)) return false;
  if (has("pat")) {
    const Json& pat = document.at("pat");
    if (!pat.is_object()) return fail(error, "\"pat\" must be an object");
    for (const auto& [key, value] : pat.items()) {
      if (key != "limits" && key != "rules") return fail(error, "\"pat\" has no \"" + key + "\"");
    }
    if (!text(pat, "limits", false, request.patLimits, error) ||
        !text(pat, "rules", false, request.patRules, error)) {
      return false;
    }
    request.pat = true;
  }
  return true;
}

std::string lotRequestJson(const LotRequest& r) {
  Json body = {{"setting", r.setting},         {"lotId", r.lotId},
               {"sublotId", r.sublotId},       {"operator", r.operatorName},
               {"partType", r.partType},       {"testCode", r.testCode},
               {"temperature", r.temperature}, {"filePerWafer", r.filePerWafer}};
  if (r.release.empty()) {
    body["project"] = r.project;
    body["flow"] = r.flow;
  } else {
    body["release"] = r.release;
    body["revision"] = r.revision;
  }
  if (r.retestCode == 'Y' || r.retestCode == 'N') {
    body["retest"] = r.retestCode == 'Y';
  } else {
    body["retest"] = r.retestCode - '0';
  }
  Json map = Json::object();
  for (const auto& [bin, category] : r.binMap) map[std::to_string(bin)] = category;
  body["binMap"] = map;
  Json guards = Json::object();
  const auto yield = [](const YieldGuard& g) {
    return Json{{"percent", g.percent}, {"after", g.after}};
  };
  if (r.guards.siteFailsInRow > 0) guards["siteFailsInRow"] = r.guards.siteFailsInRow;
  if (r.guards.siteYield.after > 0) guards["siteYield"] = yield(r.guards.siteYield);
  if (r.guards.lotYield.after > 0) guards["lotYield"] = yield(r.guards.lotYield);
  body["guards"] = guards;
  Json wafer = Json::object();
  for (const WaferKey& entry : WAFER_KEYS) {
    const auto found = r.waferConfig.find(entry.field);
    if (found == r.waferConfig.end()) continue;
    const std::string& value = found->second;
    switch (entry.value) {
      case WaferValue::size:
        wafer[entry.key] = Json::parse(value, nullptr, false);
        break;
      case WaferValue::units:
        wafer[entry.key] = UNIT_NAMES[value.empty() ? 0 : (value[0] - '0') % 5];
        break;
      case WaferValue::center:
        wafer[entry.key] = std::stol(value);
        break;
      case WaferValue::letter:
        wafer[entry.key] = value;
        break;
    }
  }
  if (!wafer.empty()) body["wafer"] = wafer;
  if (r.pat) {
    Json pat = Json::object();
    if (!r.patLimits.empty()) pat["limits"] = r.patLimits;
    if (!r.patRules.empty()) pat["rules"] = r.patRules;
    body["pat"] = pat;
  }
  return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int handlerCategory(const LotRequest& request, int hardBin) {
  const auto mapped = request.binMap.find(hardBin);
  return mapped != request.binMap.end() ? mapped->second : hardBin;
}
