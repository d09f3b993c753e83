#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::compose_down() {
  // Nothing asks the docker program: the engine answered this object's
  // snapshot, and a Podman host's docker program does not say "Docker".
  // Every container is stopped before any is removed, and every container is
  // removed before any network, so nothing is removed while a peer still
  // uses it.
  for (const ServiceDescription& s : services) {
    for (const auto& [key, container] : containers) {
      if (!layout_.belongs_to(s.name, key)) continue;
      say("stopping container " + key);
      client->stop_container(key);
    }
  }

  for (const ServiceDescription& s : services) {
    std::vector<std::string> removed;
    for (const auto& [key, container] : containers) {
      if (!layout_.belongs_to(s.name, key)) continue;
      say("removing container " + key);
      client->remove_container(key);
      removed.push_back(key);
    }
    for (const std::string& key : removed) containers.erase(key);
  }

  for (const LayoutObject& network : layout_.networks()) {
    if (!networks.contains(network.name)) continue;
    say("removing network " + network.name);
    client->remove_network(networks.at(network.name).id);
    networks.erase(network.name);
  }
}

void KestroInstaller::remove_volume(const std::string& volume) {
  try {
    docker::VolumeRef found = client->get_volume(volume);
    client->remove_volume(found.name);
    volumes.erase(volume);
  } catch (const docker::NotFound& e) {
    // Absent either way: say so and count it as done.
    say(e.what());
  }
}

}  // namespace bootstrap::installer
