#include <stdexcept>

#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::prepare_container(const ServiceDescription& service,
                                        const std::string& container_name) {
  // An existing container is never redefined here; replacing a definition
  // takes a compose_down first.
  if (containers.contains(container_name)) return;
  create(layout_.definition(service, container_name));
}

void KestroInstaller::create(const ContainerDefinition& definition) {
  if (definition.cpuset_clamped)
    say("cpu set " + *definition.cpuset_asked + " of " + definition.service +
        " needs CPUs this host lacks (it has " + std::to_string(definition.cpu_count) +
        "); using " + *definition.request.cpuset_cpus);

  const std::string& container_name = definition.request.name;
  docker::ContainerRef container = client->create_container(definition.request);
  containers.put(container_name, container);

  for (const NetworkJoin& join : definition.networks) {
    if (!networks.contains(join.network))
      throw std::out_of_range("container " + container_name + ": network " + join.network +
                              " does not exist");
    client->connect_network(networks.at(join.network).id, container.id, join.aliases);
  }
}

}  // namespace bootstrap::installer
