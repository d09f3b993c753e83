#include "bench/outage.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

namespace kestro::bench {

std::vector<ContainerEvent> parse_container_events(std::istream& lines) {
  std::vector<ContainerEvent> events;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (!e.is_object() || e.value("Type", "") != "container") continue;
    const nlohmann::json actor = e.value("Actor", nlohmann::json::object());
    const nlohmann::json attributes = actor.value("Attributes", nlohmann::json::object());
    if (!e.contains("timeNano") || !e["timeNano"].is_number_integer()) continue;
    events.push_back(
        {e["timeNano"].get<std::int64_t>(), e.value("Action", ""), attributes.value("name", "")});
  }
  // The engine delivers in order; a replay joined to the live stream might not.
  std::stable_sort(
      events.begin(), events.end(),
      [](const ContainerEvent& a, const ContainerEvent& b) { return a.time_ns < b.time_ns; });
  return events;
}

std::optional<Outage> outage(const std::vector<ContainerEvent>& events, std::int64_t until_ns) {
  // A stop sends "kill" twice when the grace period runs out (SIGTERM, then
  // SIGKILL): the outage starts at the first.
  std::map<std::string, std::int64_t> stopped_at;
  std::optional<std::int64_t> first_kill, last_back;
  std::vector<double> outages;
  for (const ContainerEvent& e : events) {
    if (e.time_ns > until_ns) break;
    if (e.action == "kill") {
      if (!first_kill) first_kill = e.time_ns;
      stopped_at.try_emplace(e.name, e.time_ns);
    } else if (e.action == "start") {
      auto it = stopped_at.find(e.name);
      if (it == stopped_at.end()) continue;
      outages.push_back(static_cast<double>(e.time_ns - it->second) / 1e6);
      last_back = e.time_ns;
      stopped_at.erase(it);
    }
  }
  if (!first_kill || !last_back) return std::nullopt;
  Outage o;
  o.window_ms = static_cast<double>(*last_back - *first_kill) / 1e6;
  o.containers = static_cast<int>(outages.size());
  for (double d : outages) {
    o.longest_ms = std::max(o.longest_ms, d);
    o.mean_ms += d / static_cast<double>(outages.size());
  }
  for (const auto& [name, t] : stopped_at) o.not_back.push_back(name);
  return o;
}

}  // namespace kestro::bench
