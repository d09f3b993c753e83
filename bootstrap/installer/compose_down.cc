#include <algorithm>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

namespace {

// A service owns its own container and its numbered workers ("<name>_<n>");
// a name that merely continues the service's name is someone else's.
bool belongs_to(const std::string& key, const std::string& container_name) {
  return key == container_name ||
         (key.size() > container_name.size() && key.compare(0, container_name.size(), container_name) == 0 &&
          key[container_name.size()] == '_');
}

}  // namespace

void KestroInstaller::compose_down() {
  if (!is_docker_istalled(host_)) {
    say("docker is not installed");
    return;
  }

  // Every container is stopped before any is removed, and every container is
  // removed before any network, so nothing is removed while a peer still
  // uses it.
  for (const ServiceDescription& s : services) {
    std::string container_name = qualified_name(application_name, s.name);
    for (const auto& [key, container] : containers) {
      if (!belongs_to(key, container_name)) continue;
      say("stopping container " + key);
      client->stop_container(container.id);
    }
  }

  for (const ServiceDescription& s : services) {
    std::string container_name = qualified_name(application_name, s.name);
    std::vector<std::string> removed;
    for (const auto& [key, container] : containers) {
      if (!belongs_to(key, container_name)) continue;
      say("removing container " + key);
      client->remove_container(container.id);
      removed.push_back(key);
    }
    for (const std::string& key : removed) containers.erase(key);
  }

  auto uninstall_networks = [&] {
    std::vector<std::string> names;
    for (const ServiceDescription& s : services)
      if (s.networks)
        for (const std::string& n : *s.networks)
          if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    for (const std::string& n : names) {
      std::string network_name = qualified_name(application_name, n);
      if (!networks.contains(network_name)) continue;
      say("removing network " + network_name);
      client->remove_network(networks.at(network_name).id);
      networks.erase(network_name);
    }
  };
  uninstall_networks();
}

void KestroInstaller::remove_volume(const std::string& volume) {
  try {
    docker::VolumeRef found = client->get_volume(volume);
    client->remove_volume(found.name);
  } catch (const docker::NotFound& e) {
    // Absent either way: say so and count it as done.
    say(e.what());
  }
}

}  // namespace bootstrap::installer
