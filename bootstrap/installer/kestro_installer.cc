#include "bootstrap/installer/kestro_installer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "bootstrap/docker/errors.h"

namespace bootstrap::installer {

KestroInstaller::KestroInstaller(std::string application_name_in, const ServiceList& services_in,
                                 std::shared_ptr<docker::Client> client_in, host::Host& host)
    : application_name(std::move(application_name_in)),
      services(services_in),
      client(std::move(client_in)),
      host_(host),
      // The count may cost an engine request, so the layout asks only when a
      // CPU set needs it.
      layout_(application_name, services, [this] { return engine_cpu_count(); }) {
  take_snapshot();
}

void KestroInstaller::take_snapshot() {
  // put() keeps the position of the first entry of a name and the value of
  // the last, so a name the engine lists twice maps to the later object.
  listed_networks_ = client->list_networks();
  for (const docker::NetworkRef& n : listed_networks_) networks.put(n.name, n);
  for (docker::VolumeRef& v : client->list_volumes()) volumes.put(v.name, v);
  for (docker::ContainerRef& c : client->list_containers(true)) containers.put(c.name, c);
}

void KestroInstaller::remove_duplicate_networks() {
  std::set<std::string> joined;
  for (const auto& [name, container] : containers)
    joined.insert(container.network_ids.begin(), container.network_ids.end());

  // Decide for every name before removing anything, so a refusal leaves the
  // engine as it was.
  std::vector<docker::NetworkRef> surplus;
  for (const LayoutObject& object : layout_.networks()) {
    std::vector<docker::NetworkRef> same_name;
    for (const docker::NetworkRef& n : listed_networks_)
      if (n.name == object.name) same_name.push_back(n);
    if (same_name.size() < 2) continue;

    std::vector<std::string> in_use;
    for (const docker::NetworkRef& n : same_name)
      if (joined.count(n.id) > 0) in_use.push_back(n.id.substr(0, 12));
    if (in_use.size() > 1) {
      std::string ids;
      for (const std::string& id : in_use) ids += (ids.empty() ? "" : ", ") + id;
      throw std::runtime_error("the engine has " + std::to_string(same_name.size()) +
                               " networks named " + object.name + " and containers use " +
                               std::to_string(in_use.size()) + " of them (" + ids +
                               "); run 'bootstrap uninstall', then install again");
    }
    const docker::NetworkRef* kept = &networks.at(object.name);
    for (const docker::NetworkRef& n : same_name)
      if (joined.count(n.id) > 0) kept = &n;
    networks.put(object.name, *kept);
    for (const docker::NetworkRef& n : same_name)
      if (n.id != kept->id) surplus.push_back(n);
  }
  for (const docker::NetworkRef& n : surplus) {
    say("removing duplicate network " + n.name + " (id " + n.id.substr(0, 12) + ")");
    client->remove_network(n.id);
  }
  std::erase_if(listed_networks_, [&](const docker::NetworkRef& n) {
    return std::any_of(surplus.begin(), surplus.end(),
                       [&](const docker::NetworkRef& s) { return s.id == n.id; });
  });
}

std::pair<int, int> KestroInstaller::count_running() {
  int running = 0, total = 0;
  for (const docker::ContainerRef& c : client->list_containers(true)) {
    const bool ours = std::any_of(services.begin(), services.end(), [&](const ServiceDescription& s) {
      return layout_.belongs_to(s.name, c.name);
    });
    if (!ours) continue;
    ++total;
    if (c.state == "running") ++running;
  }
  return {running, total};
}

int KestroInstaller::up_steps() const {
  return static_cast<int>(layout_.networks().size() + layout_.volumes().size() +
                          2 * services.size());
}

int KestroInstaller::down_steps() const {
  int steps = 0;
  for (const std::string& name : containers.keys())
    if (std::any_of(services.begin(), services.end(),
                    [&](const ServiceDescription& s) { return layout_.belongs_to(s.name, name); }))
      ++steps;
  for (const LayoutObject& network : layout_.networks())
    if (networks.contains(network.name)) ++steps;
  return steps;
}

void KestroInstaller::set_jobs(int jobs) {
  if (jobs < 1 || jobs > kMaxJobs)
    throw std::invalid_argument("the job count must be from 1 to " + std::to_string(kMaxJobs) +
                                ", not " + std::to_string(jobs));
  jobs_ = jobs;
}

unsigned KestroInstaller::engine_cpu_count() {
  if (!engine_cpus_) {
    // The containers run on the engine's host, which need not be ours
    // (DOCKER_HOST may name another machine), so its count comes first.
    try {
      docker::EngineInfo info = client->info();
      if (info.ncpu > 0) engine_cpus_ = static_cast<unsigned>(info.ncpu);
    } catch (const docker::EngineError&) {
    }
    if (!engine_cpus_) engine_cpus_ = host_.system.cpu_count();
  }
  return *engine_cpus_;
}

}  // namespace bootstrap::installer
