#include "bootstrap/installer/service.h"

#include <charconv>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace bootstrap::installer {

namespace {

// nlohmann::ordered_json keeps object keys in document order, which the
// environment relies on.
using Json = nlohmann::ordered_json;

class EntryReader {
 public:
  EntryReader(const Json& entry, std::size_t index) : entry_(entry), index_(index) {
    if (!entry_.is_object()) fail("", "is not an object");
    if (entry_.contains("name") && entry_["name"].is_string())
      label_ = " (" + entry_["name"].get<std::string>() + ")";
  }

  [[noreturn]] void fail(const std::string& key, const std::string& what) const {
    std::string where = "service entry " + std::to_string(index_) + label_;
    if (!key.empty()) where += ", key \"" + key + "\"";
    throw std::invalid_argument(where + ": " + what);
  }

  bool has(const char* key) const { return entry_.contains(key); }

  std::string required_string(const char* key) const {
    if (!has(key)) fail(key, "is missing");
    return string_at(entry_[key], key);
  }

  std::optional<std::string> optional_string(const char* key) const {
    if (!has(key)) return std::nullopt;
    return string_at(entry_[key], key);
  }

  std::optional<KeyValues> optional_key_values(const char* key) const {
    if (!has(key)) return std::nullopt;
    const Json& value = entry_[key];
    if (!value.is_object()) fail(key, "must be an object of strings");
    KeyValues out;
    for (const auto& [k, v] : value.items()) {
      if (!v.is_string()) fail(key, "value of \"" + k + "\" must be a string");
      out.emplace_back(k, v.get<std::string>());
    }
    return out;
  }

  std::optional<std::vector<std::string>> optional_strings(const char* key) const {
    if (!has(key)) return std::nullopt;
    const Json& value = entry_[key];
    if (!value.is_array()) fail(key, "must be an array of strings");
    std::vector<std::string> out;
    for (const Json& item : value) out.push_back(string_at(item, key));
    return out;
  }

  std::optional<std::vector<UlimitEntry>> optional_ulimits() const {
    if (!has("ulimits")) return std::nullopt;
    const Json& value = entry_["ulimits"];
    if (!value.is_array()) fail("ulimits", "must be an array");
    std::vector<UlimitEntry> out;
    for (const Json& item : value) {
      if (!item.is_object()) fail("ulimits", "entries must be objects");
      for (const char* field : {"name", "soft", "hard"})
        if (!item.contains(field)) fail("ulimits", std::string("entry lacks \"") + field + "\"");
      if (!item["name"].is_string()) fail("ulimits", "\"name\" must be a string");
      if (!item["soft"].is_number_integer() || !item["hard"].is_number_integer())
        fail("ulimits", "\"soft\" and \"hard\" must be integers");
      out.push_back({item["name"].get<std::string>(), item["soft"].get<std::int64_t>(),
                     item["hard"].get<std::int64_t>()});
    }
    return out;
  }

  std::optional<std::string> optional_cpuset() const {
    if (!has("cpuset")) return std::nullopt;
    const Json& value = entry_["cpuset"];
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
    fail("cpuset", "must be a string or an integer");
  }

 private:
  std::string string_at(const Json& value, const char* key) const {
    if (!value.is_string()) fail(key, "must be a string");
    return value.get<std::string>();
  }

  const Json& entry_;
  std::size_t index_;
  std::string label_;
};

}  // namespace

std::string qualified_name(const std::string& application_name, const std::string& short_name) {
  return application_name + "-" + short_name;
}

VolumeEntry parse_volume_entry(const std::string& entry) {
  std::size_t first = entry.find(':');
  if (first == std::string::npos)
    throw std::invalid_argument("volume entry \"" + entry + "\" has no \":\" between source and path");
  std::size_t second = entry.find(':', first + 1);
  return {entry.substr(0, first), entry.substr(first + 1, second == std::string::npos
                                                              ? std::string::npos
                                                              : second - first - 1)};
}

std::string volume_source(const std::string& entry) { return entry.substr(0, entry.find(':')); }

namespace {

struct CpuRange {
  long first;
  long last;
};

// Parses "0-3,5,7-8". Returns false for anything else.
bool parse_cpu_list(const std::string& text, std::vector<CpuRange>& out) {
  auto number = [](const std::string& s, long& value) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= 0;
  };
  std::size_t start = 0;
  while (true) {
    std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                     : comma - start);
    std::size_t dash = item.find('-');
    CpuRange range{};
    if (dash == std::string::npos) {
      if (!number(item, range.first)) return false;
      range.last = range.first;
    } else if (!number(item.substr(0, dash), range.first) ||
               !number(item.substr(dash + 1), range.last)) {
      return false;
    }
    out.push_back(range);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

CpuSet resolve_cpuset(const std::string& asked, unsigned cpu_count) {
  if (cpu_count == 0) cpu_count = 1;
  std::string text = asked;
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "-x") == 0) {
    std::string last = std::to_string(cpu_count - 1);
    std::string expanded;
    for (char c : text) expanded += c == 'x' ? last : std::string(1, c);
    text = expanded;
  }

  // A set written for a bigger machine names CPUs this one lacks, and the
  // engine refuses such a container outright; keep what exists instead.
  std::vector<CpuRange> ranges;
  if (!parse_cpu_list(text, ranges)) return {text, false};
  const long last_cpu = static_cast<long>(cpu_count) - 1;
  bool clamped = false;
  std::string kept;
  for (CpuRange r : ranges) {
    if (r.first > last_cpu) {
      clamped = true;
      continue;
    }
    if (r.last > last_cpu) {
      r.last = last_cpu;
      clamped = true;
    }
    if (!kept.empty()) kept += ',';
    kept += std::to_string(r.first);
    if (r.last != r.first) kept += "-" + std::to_string(r.last);
  }
  if (!clamped) return {text, false};
  if (kept.empty()) kept = cpu_count == 1 ? "0" : "0-" + std::to_string(last_cpu);
  return {kept, true};
}

ServiceList services_from_json(const std::string& json_text) {
  Json document;
  try {
    document = Json::parse(json_text);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::invalid_argument(std::string("service list is not valid JSON: ") + e.what());
  }
  if (!document.is_array()) throw std::invalid_argument("service list must be a JSON array");
  ServiceList services;
  for (std::size_t i = 0; i < document.size(); ++i) {
    EntryReader r(document[i], i);
    ServiceDescription s;
    s.name = r.required_string("name");
    s.image = r.required_string("image");
    s.command = r.optional_string("command");
    s.environment = r.optional_key_values("environment");
    s.ulimits = r.optional_ulimits();
    s.ports = r.optional_key_values("ports");
    s.volumes = r.optional_strings("volumes");
    s.networks = r.optional_strings("networks");
    s.restart = r.optional_string("restart");
    s.cpuset = r.optional_cpuset();
    services.push_back(std::move(s));
  }
  return services;
}

std::string services_to_json(const ServiceList& services) {
  Json document = Json::array();
  for (const ServiceDescription& s : services) {
    Json entry = Json::object();
    entry["name"] = s.name;
    entry["image"] = s.image;
    if (s.command) entry["command"] = *s.command;
    auto key_values = [](const KeyValues& kv) {
      Json object = Json::object();
      for (const auto& [k, v] : kv) object[k] = v;
      return object;
    };
    if (s.environment) entry["environment"] = key_values(*s.environment);
    if (s.ulimits) {
      Json list = Json::array();
      for (const UlimitEntry& u : *s.ulimits)
        list.push_back(Json{{"name", u.name}, {"soft", u.soft}, {"hard", u.hard}});
      entry["ulimits"] = list;
    }
    if (s.ports) entry["ports"] = key_values(*s.ports);
    if (s.volumes) entry["volumes"] = *s.volumes;
    if (s.networks) entry["networks"] = *s.networks;
    if (s.restart) entry["restart"] = *s.restart;
    if (s.cpuset) entry["cpuset"] = *s.cpuset;
    document.push_back(entry);
  }
  return document.dump(2);
}

}  // namespace bootstrap::installer
