#include "bootstrap/survey/status.h"

#include <algorithm>
#include <ctime>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/layout.h"

namespace bootstrap::survey {

namespace {

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

}  // namespace bootstrap::survey
