// Layout: what an application looks like on the engine.
//
// A Layout is worked out from the application name, the service list and the
// engine's CPU count, and answers every question about names and definitions
// so that bring-up, take-down, scaling, status, preflight and export agree:
// each engine object is named application "-" short name; a service's
// container is named after the service, its workers "<container>_<n>"; the
// networks and named volumes are those the services mention, in the order
// they are first mentioned. A definition is the container exactly as it is to
// be created: the CPU set resolved for the engine's count (resolve_cpuset),
// one mount per source, and the networks to join under the service's name.
//
// Names are worked out when the layout is made and never fail. Definitions
// are worked out when asked for, because a malformed volume entry fails only
// the service that has it, and the CPU count is asked for only when a CPU set
// first needs resolving (it may cost an engine request).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/service.h"

namespace bootstrap::installer {

// A network or named volume: the name the services use and the engine's.
struct LayoutObject {
  std::string short_name;  // "es-net"
  std::string name;        // "lumadex-es-net"
};

// A network a container joins, and the names it answers to there.
struct NetworkJoin {
  std::string short_name;  // as the description names it
  std::string network;     // engine name
  std::vector<std::string> aliases;
};

// The label every container the installer creates carries: the digest of its
// definition as created, so that a later run can tell whether it still
// matches what the catalogue asks for.
inline constexpr const char* kDefinitionLabel = "io.kestro.definition";

// One container, ready to create.
struct ContainerDefinition {
  std::string service;  // short name of the service it runs
  docker::ContainerSpec request;  // what the engine is asked to create
  // One per source, as in the description ("temp-vol", "/var/run/docker.sock");
  // request.binds holds the same with engine names.
  std::vector<VolumeEntry> mounts;
  std::vector<NetworkJoin> networks;  // in the description's order, as listed
  // The CPU set as the description asks for it, the CPU count it was resolved
  // for, and whether the engine lacks some of its CPUs, so request.cpuset_cpus
  // is less than asked.
  std::optional<std::string> cpuset_asked;
  unsigned cpu_count = 0;
  bool cpuset_clamped = false;
  // SHA-256 (hex) of the definition as created: image reference, command,
  // environment in order, binds, ports, ulimits, resolved CPU set, restart
  // policy, networks with aliases; not the container's name. request.labels
  // carries it under kDefinitionLabel.
  std::string digest;
};

// The digest of a definition's request and networks, as ContainerDefinition
// holds it; the same for the same definition in every run.
std::string definition_digest(const docker::ContainerSpec& request,
                              const std::vector<NetworkJoin>& networks);

class Layout;

// Why `count` containers of `service` must not be asked for, given the names
// of the containers the engine has, or "" when they may: no service has that
// name; none of the services' own containers exists (the application is not
// installed); or the count is above 1 while the service publishes a host port,
// which one container alone can hold.
std::string scale_refusal(const Layout& layout, const std::string& service, long long count,
                          const std::vector<std::string>& existing);

class Layout {
 public:
  // `services` is kept by reference and must outlive the layout. `cpu_count`
  // is called whenever a definition has a CPU set to resolve; a layout made
  // without one serves names only, and a definition with a CPU set then throws
  // std::logic_error.
  Layout(std::string application, const ServiceList& services,
         std::function<unsigned()> cpu_count = nullptr);
  // The same for a known CPU count.
  Layout(std::string application, const ServiceList& services, unsigned cpu_count);

  const std::string& application() const { return application_; }
  const ServiceList& services() const { return services_; }

  // The registry (canonical_registry, registry.h) the services' images come
  // from, kept on every definition as kRegistryLabel; "" for the public
  // names, which carry no such label. The images themselves are named in
  // the service list.
  void set_registry(std::string registry) { registry_ = std::move(registry); }
  const std::string& registry() const { return registry_; }

  // The engine name of a short name: application "-" short name.
  std::string name_of(const std::string& short_name) const;

  // The container of a service, listed or not: "lumadex-api" for "api".
  std::string container(const std::string& service) const { return name_of(service); }

  // The networks and named volumes the services mention, each once, in the
  // order of first mention. Host paths are not volumes.
  const std::vector<LayoutObject>& networks() const { return networks_; }
  const std::vector<LayoutObject>& volumes() const { return volumes_; }

  // The engine names of the networks a service joins, in its order.
  std::vector<std::string> networks_of(const ServiceDescription& service) const;

  // Worker n of a service: "lumadex-api_2" for ("api", 2).
  std::string worker(const std::string& service, int n) const;

  // Whether `container` is the service's own container or one of its workers
  // ("<container>_" and anything after).
  bool belongs_to(const std::string& service, const std::string& container) const;

  // Whether `container` is named as one of the service's workers.
  bool is_worker(const std::string& service, const std::string& container) const;

  // The number a worker's name ends in: the digits after its last "_", or
  // nullopt when there are none or other characters among them. A number too
  // long to hold reads as the largest one, above any wanted count.
  static std::optional<long long> worker_number(const std::string& container);

  // The service's own container as it is to be created. Throws
  // std::invalid_argument for a malformed volume entry (volumes are read
  // before the CPU count is asked for).
  ContainerDefinition definition(const ServiceDescription& service) const;
  // The same under another container name.
  ContainerDefinition definition(const ServiceDescription& service,
                                 const std::string& container_name) const;

  // Worker n of the service: its definition named worker(service, n), with
  // WNAME set to "<service>_<n>" (replacing the service's own value) and
  // restart policy "no", since only scaling starts workers. Throws as
  // definition() does.
  ContainerDefinition worker_definition(const ServiceDescription& service, int n) const;

 private:
  std::string application_;
  const ServiceList& services_;
  std::function<unsigned()> cpu_count_;
  std::string registry_;
  std::vector<LayoutObject> networks_;
  std::vector<LayoutObject> volumes_;
};

}  // namespace bootstrap::installer
