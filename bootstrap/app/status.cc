#include "bootstrap/app/status.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bootstrap/app/context.h"
#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

namespace {

// Keys in the order written, so the document reads like the table.
using json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

void add_unique(std::vector<std::string>& names, const std::string& name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

// A container the engine restarted this recently is still in its restart
// loop as far as the operator is concerned, even if it runs right now.
constexpr std::int64_t kRecentRestartSeconds = 60;

// Fills in what only an inspection tells: state, restarts, uptime, image,
// CPU set, networks.
void read_inspection(const docker::ContainerDetails& details, std::int64_t now,
                     ServiceStatus& row) {
  if (!details.status.empty()) row.state = details.status;
  row.restarts = details.restart_count;
  if (row.state == "running" && details.started_at > 0) {
    row.uptime = std::max<std::int64_t>(now - details.started_at, 0);
    if (row.restarts > 0 && row.uptime < kRecentRestartSeconds) row.state = "crashing";
  }
  row.image = base::familiar_image_name(details.image);
  row.cpuset = details.cpuset_cpus;
  row.networks_missing.clear();
  for (const std::string& network : row.networks)
    if (std::find(details.networks.begin(), details.networks.end(), network) ==
        details.networks.end())
      row.networks_missing.push_back(network);
}

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

bool ProductStatus::all_running() const {
  return std::all_of(services.begin(), services.end(),
                     [](const ServiceStatus& s) { return s.running(); });
}

std::vector<std::string> ProductStatus::not_running() const {
  std::vector<std::string> out;
  for (const ServiceStatus& s : services)
    if (!s.running()) out.push_back(s.container + " (" + s.state + ")");
  return out;
}

ProductStatus gather_status(docker::Client& client, const std::string& application,
                            const installer::ServiceList& services,
                            std::optional<std::int64_t> clock) {
  const std::int64_t now = clock ? *clock : static_cast<std::int64_t>(std::time(nullptr));
  ProductStatus status;
  status.application = application;

  const installer::Layout layout(application, services);
  const std::vector<docker::ContainerRef> containers = client.list_containers(true);
  for (const installer::ServiceDescription& s : services) {
    ServiceStatus row;
    row.service = s.name;
    row.container = layout.container(s.name);
    row.state = "missing";
    for (const std::string& n : layout.networks_of(s)) add_unique(row.networks, n);
    row.networks_missing = row.networks;

    const docker::ContainerRef* own = nullptr;
    for (const docker::ContainerRef& c : containers) {
      if (c.name == row.container) own = &c;
      if (layout.is_worker(s.name, c.name) && installer::Layout::worker_number(c.name)) {
        ++row.workers;
        if (c.state == "running") ++row.workers_running;
      }
    }
    if (own != nullptr) {
      try {
        row.state = own->state.empty() ? "created" : own->state;
        read_inspection(client.inspect_container(own->id), now, row);
      } catch (const docker::NotFound&) {
        // Removed since the listing.
        row.state = "missing";
        row.image.clear();
        row.cpuset.clear();
        row.networks_missing = row.networks;
      }
    }
    status.services.push_back(std::move(row));
  }

  std::vector<std::string> present_networks;
  for (const docker::NetworkRef& n : client.list_networks()) present_networks.push_back(n.name);
  for (const installer::LayoutObject& n : layout.networks())
    status.networks.push_back(
        {n.name, std::find(present_networks.begin(), present_networks.end(), n.name) !=
                     present_networks.end()});

  std::vector<std::string> present_volumes;
  for (const docker::VolumeRef& v : client.list_volumes()) present_volumes.push_back(v.name);
  for (const installer::LayoutObject& v : layout.volumes())
    status.volumes.push_back(
        {v.name, std::find(present_volumes.begin(), present_volumes.end(), v.name) !=
                     present_volumes.end()});
  return status;
}

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
