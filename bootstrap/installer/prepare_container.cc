#include <algorithm>
#include <stdexcept>

#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::prepare_container(const ServiceDescription& service,
                                        const std::string& container_name) {
  // An existing container is never redefined here; replacing a definition
  // takes a compose_down first.
  if (containers.contains(container_name)) return;

  docker::ContainerSpec definition;
  definition.image = service.image;
  definition.command = service.command;
  definition.name = container_name;
  if (service.environment) definition.environment = *service.environment;
  if (service.ulimits) {
    std::vector<docker::Ulimit> ulimits;
    for (const UlimitEntry& u : *service.ulimits) ulimits.push_back({u.name, u.soft, u.hard});
    definition.ulimits = std::move(ulimits);
  }
  if (service.ports) definition.ports = *service.ports;
  if (service.volumes) {
    std::vector<docker::Bind> binds;
    for (const std::string& entry : *service.volumes) {
      VolumeEntry volume = parse_volume_entry(entry);
      std::string source = volume.is_host_path() ? volume.source
                                                 : qualified_name(application_name, volume.source);
      // One mount per source: a later entry for the same source replaces the
      // earlier one where it stood.
      auto same = std::find_if(binds.begin(), binds.end(),
                               [&](const docker::Bind& b) { return b.source == source; });
      docker::Bind bind{source, volume.target, "rw"};
      if (same != binds.end())
        *same = bind;
      else
        binds.push_back(bind);
    }
    definition.binds = std::move(binds);
  }
  if (service.restart) definition.restart_policy = *service.restart;
  if (service.cpuset) definition.cpuset_cpus = effective_cpuset(service);

  docker::ContainerRef container = client->create_container(definition);
  containers.put(container_name, container);

  if (service.networks) {
    for (const std::string& network : *service.networks) {
      std::string network_name = qualified_name(application_name, network);
      if (!networks.contains(network_name))
        throw std::out_of_range("container " + container_name + ": network " + network_name +
                                " does not exist");
      client->connect_network(networks.at(network_name).id, container.id, {service.name});
    }
  }
}

}  // namespace bootstrap::installer
