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

  for (const auto& [key, container] : surplus) {
    containers.erase(key);
    say("leaving from " + key);
    client->stop_container(key);
    client->remove_container(key);
  }

  const ServiceDescription* service = nullptr;
  for (const ServiceDescription& s : services)
    if (s.name == service_name) {
      service = &s;
      break;
    }
  if (!service) throw std::invalid_argument("no service named " + service_name);

  for (int n = 1; n < n_worker; ++n) {
    std::string worker_name = layout_.worker(service_name, n);
    if (containers.contains(worker_name)) continue;
    create(layout_.worker_definition(*service, n));
    say("starting " + worker_name);
    client->start_container(worker_name);
    started.push_back(worker_name);
  }
}

}  // namespace bootstrap::installer
