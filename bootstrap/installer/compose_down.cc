#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::compose_down() {
  // Nothing asks the docker program: the engine answered this object's
  // snapshot, and a Podman host's docker program does not say "Docker".
  // Every container is stopped before any is removed, and every container is
  // removed before any network, so nothing is removed while a peer still
  // uses it. Within each of the three phases the requests do not depend on
  // one another, so up to jobs_ are in flight at once.
  Phase stops(jobs_, host_.console);
  bool issuing = true;
  for (const ServiceDescription& s : services) {
    for (const auto& [key, container] : containers) {
      if (!issuing || !layout_.belongs_to(s.name, key)) continue;
      issuing = stops.issue([this, name = key](const Phase::Print& print) {
        print("stopping container " + name);
        client->stop_container(name);
      });
    }
  }
  stops.finish();

  // A container that looks like a worker of another service as well is
  // removed once. The snapshot forgets a service's containers once all of
  // them are removed; a failure leaves the keys of that service in place.
  Phase removals(jobs_, host_.console);
  std::vector<std::string> removed;  // by job number
  struct Visit {
    std::size_t first_job = 0;
    std::size_t end_job = 0;
    bool complete = false;  // every removal of it was issued
  };
  std::vector<Visit> visits;
  for (const ServiceDescription& s : services) {
    Visit& visit = visits.emplace_back(Visit{removed.size(), removed.size(), false});
    for (const auto& [key, container] : containers) {
      if (!issuing || !layout_.belongs_to(s.name, key)) continue;
      if (std::find(removed.begin(), removed.end(), key) != removed.end()) continue;
      issuing = removals.issue([this, name = key](const Phase::Print& print) {
        print("removing container " + name);
        client->remove_container(name);
      });
      if (issuing) removed.push_back(key);
    }
    visit.end_job = removed.size();
    visit.complete = issuing;
  }
  std::vector<bool> succeeded(removed.size());
  auto forget_removed = [&] {
    for (const Visit& visit : visits) {
      if (!visit.complete) continue;
      bool all = true;
      for (std::size_t job = visit.first_job; job < visit.end_job; ++job) all = all && succeeded[job];
      if (!all) continue;
      for (std::size_t job = visit.first_job; job < visit.end_job; ++job)
        containers.erase(removed[job]);
    }
  };
  auto done = [&](std::size_t job, bool ok) {
    succeeded[job] = ok;
    if (!ok) return;
    changes.removed.push_back(removed[job]);
    ++steps_done;
  };
  try {
    removals.finish(done);
  } catch (...) {
    forget_removed();
    throw;
  }
  forget_removed();

  Phase network_removals(jobs_, host_.console);
  std::vector<std::string> gone;
  for (const LayoutObject& network : layout_.networks()) {
    if (!issuing || !networks.contains(network.name)) continue;
    issuing = network_removals.issue(
        [this, name = network.name, id = networks.at(network.name).id](const Phase::Print& print) {
          print("removing network " + name);
          client->remove_network(id);
        });
    if (issuing) gone.push_back(network.name);
  }
  network_removals.finish([&](std::size_t job, bool ok) {
    if (!ok) return;
    networks.erase(gone[job]);
    changes.removed_networks.push_back(gone[job]);
    ++steps_done;
  });
}

void KestroInstaller::remove_volume(const std::string& volume) {
  try {
    docker::VolumeRef found = client->get_volume(volume);
    client->remove_volume(found.name);
    volumes.erase(volume);
    changes.removed_volumes.push_back(found.name);
  } catch (const docker::NotFound& e) {
    // Absent either way: say so and count it as done.
    say(e.what());
  }
  ++steps_done;
}

}  // namespace bootstrap::installer
