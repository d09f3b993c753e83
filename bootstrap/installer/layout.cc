#include "bootstrap/installer/layout.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "bootstrap/crypto/digest.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::installer {

namespace {

void add_unique(std::vector<LayoutObject>& objects, const std::string& short_name,
                const Layout& layout) {
  for (const LayoutObject& o : objects)
    if (o.short_name == short_name) return;
  objects.push_back({short_name, layout.name_of(short_name)});
}

}  // namespace

std::string definition_digest(const docker::ContainerSpec& request,
                              const std::vector<NetworkJoin>& networks) {
  // Arrays, not objects, wherever order matters; absent members are null so
  // that "unset" and "empty" differ. The container's name is left out: it is
  // the identity, not the definition.
  using nlohmann::json;
  auto optional = [](const auto& value, auto convert) -> json {
    return value ? convert(*value) : json(nullptr);
  };
  auto pairs = [](const docker::KeyValues& kv) {
    json out = json::array();
    for (const auto& [key, value] : kv) out.push_back({key, value});
    return out;
  };
  auto text = [](const std::string& s) { return json(s); };
  json canonical = json::array();
  canonical.push_back(request.image);
  canonical.push_back(optional(request.command, text));
  canonical.push_back(optional(request.environment, pairs));
  canonical.push_back(optional(request.binds, [](const std::vector<docker::Bind>& binds) {
    json out = json::array();
    for (const docker::Bind& b : binds) out.push_back({b.source, b.target, b.mode});
    return out;
  }));
  canonical.push_back(optional(request.ports, pairs));
  canonical.push_back(optional(request.ulimits, [](const std::vector<docker::Ulimit>& limits) {
    json out = json::array();
    for (const docker::Ulimit& u : limits) out.push_back({u.name, u.soft, u.hard});
    return out;
  }));
  canonical.push_back(optional(request.cpuset_cpus, text));
  canonical.push_back(optional(request.restart_policy, text));
  json joins = json::array();
  for (const NetworkJoin& join : networks) joins.push_back({join.network, join.aliases});
  canonical.push_back(std::move(joins));

  return crypto::sha256_hex(canonical.dump());
}

Layout::Layout(std::string application, const ServiceList& services,
               std::function<unsigned()> cpu_count)
    : application_(std::move(application)), services_(services), cpu_count_(std::move(cpu_count)) {
  for (const ServiceDescription& s : services_) {
    if (s.networks)
      for (const std::string& n : *s.networks) add_unique(networks_, n, *this);
    if (s.volumes)
      for (const std::string& entry : *s.volumes) {
        // volume_source, not parse_volume_entry: a malformed entry fails its
        // own service's definition, not every name.
        std::string source = volume_source(entry);
        if (source.empty() || source.front() != '/') add_unique(volumes_, source, *this);
      }
  }
}

Layout::Layout(std::string application, const ServiceList& services, unsigned cpu_count)
    : Layout(std::move(application), services, [cpu_count] { return cpu_count; }) {}

std::string Layout::name_of(const std::string& short_name) const {
  return qualified_name(application_, short_name);
}

std::vector<std::string> Layout::networks_of(const ServiceDescription& service) const {
  std::vector<std::string> names;
  if (service.networks)
    for (const std::string& n : *service.networks) names.push_back(name_of(n));
  return names;
}

std::string Layout::worker(const std::string& service, int n) const {
  return container(service) + "_" + std::to_string(n);
}

bool Layout::is_worker(const std::string& service, const std::string& container_name) const {
  const std::string prefix = container(service) + "_";
  return container_name.compare(0, prefix.size(), prefix) == 0;
}

bool Layout::belongs_to(const std::string& service, const std::string& container_name) const {
  // A name that merely continues the service's name ("lumadex-worker-ocr" for
  // "worker") is another service's.
  return container_name == container(service) || is_worker(service, container_name);
}

std::string scale_refusal(const Layout& layout, const std::string& service, long long count,
                          const std::vector<std::string>& existing) {
  const ServiceList& services = layout.services();
  auto described = std::find_if(services.begin(), services.end(),
                                [&](const ServiceDescription& s) { return s.name == service; });
  if (described == services.end()) return "no service named " + service;
  auto exists = [&](const std::string& name) {
    return std::find(existing.begin(), existing.end(), name) != existing.end();
  };
  // Workers join the services' networks, which only an install makes.
  if (std::none_of(services.begin(), services.end(),
                   [&](const ServiceDescription& s) { return exists(layout.container(s.name)); }))
    return layout.application() + " is not installed: run 'bootstrap install' first";
  // A second container would be created and then fail to start on the port
  // the first one holds.
  if (count > 1 && described->ports && !described->ports->empty())
    return service + " publishes host port " + described->ports->begin()->second +
           ", which one container alone can hold: it cannot run more than 1";
  return {};
}

std::optional<long long> Layout::worker_number(const std::string& container_name) {
  std::string digits = container_name.substr(container_name.rfind('_') + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  std::size_t significant = digits.find_first_not_of('0');
  if (significant == std::string::npos) return 0;
  if (digits.size() - significant > 18) return LLONG_MAX;
  return std::stoll(digits);
}

ContainerDefinition Layout::definition(const ServiceDescription& service) const {
  return definition(service, container(service.name));
}

ContainerDefinition Layout::definition(const ServiceDescription& service,
                                       const std::string& container_name) const {
  ContainerDefinition d;
  d.service = service.name;
  docker::ContainerSpec& request = d.request;
  request.image = service.image;
  request.command = service.command;
  request.name = container_name;
  request.environment = service.environment;
  request.ulimits = service.ulimits;
  request.ports = service.ports;
  if (service.volumes) {
    std::vector<docker::Bind> binds;
    for (const std::string& entry : *service.volumes) {
      VolumeEntry volume = parse_volume_entry(entry);
      VolumeEntry mount{volume.source, volume.target};
      docker::Bind bind{volume.is_host_path() ? volume.source : name_of(volume.source),
                        volume.target, "rw"};
      // The engine refuses two mounts of one source, so a later entry
      // replaces the earlier one where it stood.
      auto same = std::find_if(d.mounts.begin(), d.mounts.end(),
                               [&](const VolumeEntry& m) { return m.source == volume.source; });
      if (same != d.mounts.end()) {
        binds[static_cast<std::size_t>(same - d.mounts.begin())] = bind;
        *same = mount;
      } else {
        binds.push_back(bind);
        d.mounts.push_back(mount);
      }
    }
    request.binds = std::move(binds);
  }
  request.restart_policy = service.restart;
  if (service.cpuset) {
    if (!cpu_count_)
      throw std::logic_error("the layout of " + application_ +
                             " was made without a CPU count, and " + service.name +
                             " has a CPU set");
    unsigned count = cpu_count_();
    CpuSet chosen = resolve_cpuset(*service.cpuset, count);
    request.cpuset_cpus = chosen.cpus;
    d.cpuset_asked = service.cpuset;
    d.cpu_count = count;
    d.cpuset_clamped = chosen.clamped;
  }
  if (service.networks)
    for (const std::string& network : *service.networks)
      d.networks.push_back({network, name_of(network), {service.name}});
  d.digest = definition_digest(request, d.networks);
  request.labels[kDefinitionLabel] = d.digest;
  if (!registry_.empty()) request.labels[kRegistryLabel] = registry_;
  return d;
}

ContainerDefinition Layout::worker_definition(const ServiceDescription& service, int n) const {
  ServiceDescription w = service;
  if (!w.environment) w.environment.emplace();
  const std::string wname = service.name + "_" + std::to_string(n);
  bool replaced = false;
  for (auto& [key, value] : *w.environment)
    if (key == "WNAME") {
      value = wname;
      replaced = true;
    }
  if (!replaced) w.environment->emplace_back("WNAME", wname);
  // Workers are started by scaling only; the engine must not bring back one
  // that was stopped on purpose.
  w.restart = "no";
  return definition(w, worker(service.name, n));
}

}  // namespace bootstrap::installer
