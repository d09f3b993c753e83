#include "bootstrap/app/status.h"

#include <algorithm>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bootstrap/app/context.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

namespace {

using survey::ObjectStatus;
using survey::ProductStatus;
using survey::ServiceStatus;
using survey::gather_status;

// Keys in the order written, so the document reads like the table.
using json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

using base::join;
using base::table;

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

std::string uptime_cell(const ServiceStatus& s) {
  if (s.uptime < 0) return "-";
  constexpr std::pair<std::int64_t, const char*> kUnits[] = {
      {86400, "d"}, {3600, "h"}, {60, "m"}};
  for (const auto& [size, unit] : kUnits)
    if (s.uptime >= size) return std::to_string(s.uptime / size) + unit;
  return std::to_string(s.uptime) + "s";
}

std::string containers_cell(const ServiceStatus& s) {
  std::string cell = std::to_string(s.containers());
  if (s.containers_running() != s.containers())
    cell += " (" + std::to_string(s.containers_running()) + " running)";
  return cell;
}

std::string networks_cell(const ServiceStatus& s) {
  if (s.missing()) return "-";
  std::string cell = std::to_string(s.networks.size() - s.networks_missing.size()) + "/" +
                     std::to_string(s.networks.size());
  if (!s.networks_missing.empty()) cell += " missing " + join(s.networks_missing, ",");
  return cell;
}

std::string objects_table(const std::string& heading, const std::vector<ObjectStatus>& objects) {
  std::vector<Row> rows{{heading, "STATE"}};
  for (const ObjectStatus& o : objects) rows.push_back({o.name, o.present ? "present" : "missing"});
  return table(rows);
}

json objects_json(const std::vector<ObjectStatus>& objects) {
  json list = json::array();
  for (const ObjectStatus& o : objects) list.push_back({{"name", o.name}, {"present", o.present}});
  return list;
}

}  // namespace

std::string render_status_text(const ProductStatus& status) {
  std::vector<Row> rows{
      {"CONTAINER", "STATE", "UPTIME", "RESTARTS", "IMAGE", "CPUSET", "CONTAINERS", "NETWORKS"}};
  std::size_t running = 0;
  for (const ServiceStatus& s : status.services) {
    if (s.running()) ++running;
    // State, image and CPU set are the engine's words, shown escaped.
    rows.push_back({s.container, base::printable(s.state), uptime_cell(s),
                    s.missing() ? "-" : std::to_string(s.restarts),
                    or_dash(base::printable(s.image)), or_dash(base::printable(s.cpuset)),
                    containers_cell(s), networks_cell(s)});
  }
  std::string out = table(rows);
  out += "\n" + objects_table("NETWORK", status.networks);
  out += "\n" + objects_table("VOLUME", status.volumes);
  out += "\n" + std::to_string(running) + " of " + std::to_string(status.services.size()) +
         " services running\n";
  return out;
}

std::string render_status_json(const ProductStatus& status) {
  json services = json::array();
  for (const ServiceStatus& s : status.services) {
    json row = {{"service", s.service},
                {"container", s.container},
                {"state", s.state},
                {"uptime_seconds", s.uptime < 0 ? json(nullptr) : json(s.uptime)},
                {"restarts", s.missing() ? json(nullptr) : json(s.restarts)},
                {"image", s.missing() ? json(nullptr) : json(s.image)},
                {"cpuset", s.missing() ? json(nullptr) : json(s.cpuset)},
                {"workers", s.workers},
                {"workers_running", s.workers_running},
                {"containers", s.containers()},
                {"containers_running", s.containers_running()},
                {"networks", s.networks},
                {"networks_missing", s.networks_missing}};
    services.push_back(std::move(row));
  }
  json document = {{"application", status.application},
                   {"all_running", status.all_running()},
                   {"services", std::move(services)},
                   {"networks", objects_json(status.networks)},
                   {"volumes", objects_json(status.volumes)}};
  // The engine's text need not be UTF-8; such bytes become U+FFFD.
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void status_command(const Context& context, bool as_json) {
  using installer::lumadex::LumadexInstaller;
  std::ostream& out = context.output.out;
  std::unique_ptr<docker::DockerClient> client = context.connect();
  ProductStatus status =
      gather_status(*client, LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
  out << (as_json ? render_status_json(status) : render_status_text(status)) << std::flush;
  std::vector<std::string> stopped = status.not_running();
  if (std::all_of(status.services.begin(), status.services.end(),
                  [](const ServiceStatus& s) { return s.missing(); }))
    throw std::runtime_error(status.application + " is not installed: none of its " +
                             std::to_string(status.services.size()) + " containers exists");
  if (!stopped.empty()) {
    std::string list;
    for (const std::string& s : stopped) list += (list.empty() ? "" : ", ") + s;
    throw std::runtime_error(std::to_string(stopped.size()) + " of " +
                             std::to_string(status.services.size()) +
                             " services do not run: " + list);
  }
}

}  // namespace bootstrap::app
