#include <cstddef>
#include <deque>
#include <exception>
#include <string>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::scale_service(const std::string& service_name, int n_worker) {
  // Everything that would fail part way is refused before anything changes.
  const std::string refusal = scale_refusal(layout_, service_name, n_worker, containers.keys());
  if (!refusal.empty()) throw std::invalid_argument(refusal);
  const ServiceDescription* service = nullptr;
  for (const ServiceDescription& s : services)
    if (s.name == service_name) {
      service = &s;
      break;
    }

  // The scan changes nothing, so a malformed name stops the operation before
  // any container is touched.
  int within = 0;          // workers numbered 1 to n_worker - 1 that exist
  int within_running = 0;  // of those, how many run
  std::vector<std::pair<std::string, docker::ContainerRef>> surplus;
  for (const auto& [key, container] : containers) {
    if (!layout_.is_worker(service_name, key)) continue;
    std::optional<long long> number = Layout::worker_number(key);
    if (!number)
      throw std::invalid_argument("container " + key + ": \"" + key.substr(key.rfind('_') + 1) +
                                  "\" after the last \"_\" is not a worker number");
    if (*number >= n_worker)
      surplus.emplace_back(key, container);
    else if (*number >= 1) {
      ++within;
      if (container.state == "running") ++within_running;
    }
  }
  const int wanted_workers = n_worker > 1 ? n_worker - 1 : 0;
  if (surplus.empty() && within == wanted_workers) {
    // Scaling starts no container it finds stopped, so the count is all it
    // can vouch for.
    const std::string own = layout_.container(service_name);
    const int count = (containers.contains(own) ? 1 : 0) + within;
    const int running =
        (containers.contains(own) && containers.at(own).state == "running" ? 1 : 0) +
        within_running;
    say(service_name + (running == count ? " already runs " : " already has ") +
        std::to_string(count) + (count == 1 ? " container" : " containers") +
        (running == count ? "" : " (" + std::to_string(running) + " running)") +
        (n_worker < 1 ? "; scale never removes its own" : ""));
    return;
  }

  // Each worker is one job (its stop, then its removal), up to jobs_ at once.
  Phase leaving(jobs_, host_.console);
  std::vector<std::string> left;
  for (const auto& [key, container] : surplus) {
    containers.erase(key);
    bool accepted = leaving.issue([this, name = key](const Phase::Print& print) {
      print("leaving from " + name);
      client->stop_container(name);
      client->remove_container(name);
    });
    if (!accepted) break;
    left.push_back(key);
  }
  leaving.finish([&](std::size_t job, bool ok) {
    if (ok) changes.removed.push_back(left[job]);
  });

  // Each new worker is one job (its creation, then its start). The snapshot
  // learns of the workers once none is in flight, those created whose start
  // failed included.
  struct Joining {
    ContainerDefinition definition;
    std::optional<docker::ContainerRef> created;
  };
  // A deque: a job keeps its entry's address while later ones are added.
  std::deque<Joining> made;
  Phase joining(jobs_, host_.console);
  for (int n = 1; n < n_worker; ++n) {
    std::string worker_name = layout_.worker(service_name, n);
    if (containers.contains(worker_name)) continue;
    Joining& entry = made.emplace_back(Joining{layout_.worker_definition(*service, n), {}});
    bool accepted = joining.issue([this, worker_name, &entry](const Phase::Print& print) {
      entry.created = create_on_engine(entry.definition, print);
      join_networks(entry.definition);
      print("starting " + worker_name);
      client->start_container(worker_name);
    });
    if (!accepted) {
      made.pop_back();
      break;
    }
  }
  try {
    joining.finish([&](std::size_t job, bool succeeded) {
      Joining& entry = made[job];
      if (entry.created) record_created(entry.definition, std::move(*entry.created));
      if (succeeded) started.push_back(entry.definition.request.name);
    });
    for (const Joining& entry : made) changes.created.push_back(entry.definition.request.name);
  } catch (...) {
    // A worker that cannot be made whole is not left behind, nor are the
    // others this call created: a failed scale adds nothing. After Ctrl-C
    // the client sends nothing more, so the workers stay.
    if (docker::interrupt_requested()) throw;
    for (const Joining& entry : made) {
      const std::string& name = entry.definition.request.name;
      if (!containers.contains(name)) continue;
      const bool ran = std::erase(started, name) > 0;
      containers.erase(name);
      say("removing " + name + ", which this scale created");
      try {
        if (ran) client->stop_container(name);
        client->remove_container(name);
      } catch (const std::exception& e) {
        say("could not remove " + name + ": " + e.what());
      }
    }
    throw;
  }
}

}  // namespace bootstrap::installer
