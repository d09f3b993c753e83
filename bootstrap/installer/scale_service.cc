#include <cstddef>
#include <deque>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::scale_service(const std::string& service_name, int n_worker) {
  // The scan changes nothing, so a malformed name stops the operation before
  // any container is touched.
  std::vector<std::pair<std::string, docker::ContainerRef>> surplus;
  for (const auto& [key, container] : containers) {
    if (!layout_.is_worker(service_name, key)) continue;
    std::optional<long long> number = Layout::worker_number(key);
    if (!number)
      throw std::invalid_argument("container " + key + ": \"" + key.substr(key.rfind('_') + 1) +
                                  "\" after the last \"_\" is not a worker number");
    if (*number >= n_worker) surplus.emplace_back(key, container);
  }

  // Each worker is one job (its stop, then its removal), up to jobs_ at once.
  Phase leaving(jobs_);
  for (const auto& [key, container] : surplus) {
    containers.erase(key);
    bool accepted = leaving.issue([this, name = key](const Phase::Print& print) {
      print("leaving from " + name);
      client->stop_container(name);
      client->remove_container(name);
    });
    if (!accepted) break;
  }
  leaving.finish();

  const ServiceDescription* service = nullptr;
  for (const ServiceDescription& s : services)
    if (s.name == service_name) {
      service = &s;
      break;
    }
  if (!service) throw std::invalid_argument("no service named " + service_name);

  // Each new worker is one job (its creation, then its start). The snapshot
  // learns of the workers once none is in flight, those created whose start
  // failed included.
  struct Joining {
    ContainerDefinition definition;
    std::optional<docker::ContainerRef> created;
  };
  // A deque: a job keeps its entry's address while later ones are added.
  std::deque<Joining> made;
  Phase joining(jobs_);
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
  joining.finish([&](std::size_t job, bool succeeded) {
    Joining& entry = made[job];
    if (entry.created) record_created(entry.definition, std::move(*entry.created));
    if (succeeded) started.push_back(entry.definition.request.name);
  });
}

}  // namespace bootstrap::installer
