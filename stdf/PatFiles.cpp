// The outlier screening's rules and limits files: read, and the rules written with their
// defaults.
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "stdf/Pat.h"

namespace stdf {

bool parsePatRules(const std::string& text, PatRules& rules, std::string& error) {
  using nlohmann::json;
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "not a JSON object";
    return false;
  }
  // What each section may hold beside enabled, hardBin, softBin and binName.
  static const std::map<std::string, std::set<std::string>> KEYS = {
      {"static", {}},
      {"dynamic", {"k", "minValues"}},
      {"nnr", {"window", "k", "minNeighbours"}},
      {"gdbn", {"adjacentWeight", "diagonalWeight", "threshold"}},
      {"zpat", {"share", "minWafers"}}};
  for (const auto& [name, section] : doc.items()) {
    const auto known = KEYS.find(name);
    if (known == KEYS.end()) {
      error = "no rule is called \"" + name + "\"";
      return false;
    }
    if (!section.is_object()) continue;
    for (const auto& [key, value] : section.items()) {
      if (key != "enabled" && key != "hardBin" && key != "softBin" && key != "binName" &&
          known->second.count(key) == 0) {
        error = name + " has no \"" + key + "\"";
        return false;
      }
    }
  }
  try {
    for (std::size_t i = 0; i < PAT_RULES; ++i) {
      const auto found = doc.find(patRuleName(static_cast<PatRule>(i)));
      if (found == doc.end()) continue;
      if (!found->is_object())
        throw std::runtime_error(std::string(patRuleName(static_cast<PatRule>(i))) +
                                 ": not an object");
      PatRules::Rule& rule = rules.rules[i];
      rule.enabled = found->value("enabled", rule.enabled);
      const auto bin = [&](const char* key, std::uint16_t& value) {
        const int n = found->value(key, static_cast<int>(value));
        if (n < 0 || n > 32767) {
          throw std::runtime_error(std::string(patRuleName(static_cast<PatRule>(i))) + "." + key +
                                   ": not a bin number");
        }
        value = static_cast<std::uint16_t>(n);
      };
      bin("hardBin", rule.hardBin);
      bin("softBin", rule.softBin);
      rule.binName = found->value("binName", rule.binName);
    }
    const auto number = [&](const char* rule, const char* key, auto& value, double least) {
      const auto section = doc.find(rule);
      if (section == doc.end() || !section->contains(key)) return;
      const double given = section->at(key).template get<double>();
      if (!(given >= least) || !std::isfinite(given)) {
        throw std::runtime_error(std::string(rule) + "." + key + ": out of range");
      }
      value = static_cast<std::remove_reference_t<decltype(value)>>(given);
    };
    number("dynamic", "k", rules.k, 0.5);
    number("dynamic", "minValues", rules.minValues, 3);
    number("nnr", "window", rules.nnrWindow, 3);
    number("nnr", "k", rules.nnrK, 0.5);
    number("nnr", "minNeighbours", rules.nnrMinNeighbours, 1);
    number("gdbn", "adjacentWeight", rules.gdbnAdjacentWeight, 0);
    number("gdbn", "diagonalWeight", rules.gdbnDiagonalWeight, 0);
    number("gdbn", "threshold", rules.gdbnThreshold, 1);
    number("zpat", "share", rules.zpatShare, 0);
    number("zpat", "minWafers", rules.zpatMinWafers, 2);
    if (rules.nnrWindow % 2 == 0) throw std::runtime_error("nnr.window: not an odd number");
    if (rules.zpatShare > 1) throw std::runtime_error("zpat.share: more than 1");
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

std::string patRulesJson(const PatRules& rules) {
  nlohmann::ordered_json doc;
  for (std::size_t i = 0; i < PAT_RULES; ++i) {
    const PatRules::Rule& rule = rules.rules[i];
    doc[patRuleName(static_cast<PatRule>(i))] = {{"enabled", rule.enabled},
                                                 {"hardBin", rule.hardBin},
                                                 {"softBin", rule.softBin},
                                                 {"binName", rule.binName}};
  }
  doc["dynamic"]["k"] = rules.k;
  doc["dynamic"]["minValues"] = rules.minValues;
  doc["nnr"]["window"] = rules.nnrWindow;
  doc["nnr"]["k"] = rules.nnrK;
  doc["nnr"]["minNeighbours"] = rules.nnrMinNeighbours;
  doc["gdbn"]["adjacentWeight"] = rules.gdbnAdjacentWeight;
  doc["gdbn"]["diagonalWeight"] = rules.gdbnDiagonalWeight;
  doc["gdbn"]["threshold"] = rules.gdbnThreshold;
  doc["zpat"]["share"] = rules.zpatShare;
  doc["zpat"]["minWafers"] = rules.zpatMinWafers;
  return doc.dump(2) + "\n";
}

bool parsePatLimits(const std::string& text, PatLimitTable& limits, std::string& error) {
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("tests") ||
      !doc["tests"].is_array()) {
    error = "not a limits file (a JSON object with \"tests\")";
    return false;
  }
  try {
    for (const auto& test : doc["tests"]) {
      const auto number = test.at("number").get<std::uint32_t>();
      const double low = test.at("low").get<double>();
      const double high = test.at("high").get<double>();
      if (!(low <= high)) {
        error = "test " + std::to_string(number) + ": low above high";
        return false;
      }
      limits[number] = {low, high};
    }
  } catch (const std::exception& e) {
    error = std::string("a test without its number, low and high (") + e.what() + ")";
    return false;
  }
  return true;
}

}  // namespace stdf
