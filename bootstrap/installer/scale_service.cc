#include <stdexcept>
#include <utility>
#include <vector>

#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

namespace {

// The worker number after the last "_". A number too long for a long is still
// a number, and larger than any wanted count.
bool is_surplus(const std::string& container_name, int n_worker) {
  std::string digits = container_name.substr(container_name.rfind('_') + 1);
  bool numeric = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  if (!numeric)
    throw std::invalid_argument("container " + container_name + ": \"" + digits +
                                "\" after the last \"_\" is not a worker number");
  std::size_t significant = digits.find_first_not_of('0');
  if (significant == std::string::npos) return 0 >= n_worker;
  if (digits.size() - significant > 18) return true;
  return std::stoll(digits) >= n_worker;
}

}  // namespace

void KestroInstaller::scale_service(const std::string& service_name, int n_worker) {
  const std::string prefix = qualified_name(application_name, service_name) + "_";

  // The scan changes nothing, so a malformed name stops the operation before
  // any container is touched.
  std::vector<std::pair<std::string, docker::ContainerRef>> surplus;
  for (const auto& [key, container] : containers)
    if (key.compare(0, prefix.size(), prefix) == 0 && is_surplus(key, n_worker))
      surplus.emplace_back(key, container);

  for (const auto& [key, container] : surplus) {
    containers.erase(key);
    say("leaving from " + key);
    client->stop_container(container.id);
    client->remove_container(container.id);
  }

  const ServiceDescription* service = nullptr;
  for (const ServiceDescription& s : services)
    if (s.name == service_name) {
      service = &s;
      break;
    }
  if (!service) throw std::invalid_argument("no service named " + service_name);

  for (int n = 1; n < n_worker; ++n) {
    std::string worker_name = prefix + std::to_string(n);
    if (containers.contains(worker_name)) continue;

    ServiceDescription worker = *service;
    if (!worker.environment) worker.environment.emplace();
    std::string wname = service_name + "_" + std::to_string(n);
    bool replaced = false;
    for (auto& [key, value] : *worker.environment)
      if (key == "WNAME") {
        value = wname;
        replaced = true;
      }
    if (!replaced) worker.environment->emplace_back("WNAME", wname);
    // Workers are started by this operation only; the engine must not bring
    // back one that was stopped on purpose.
    worker.restart = "no";

    prepare_container(worker, worker_name);
    say("starting " + worker_name);
    client->start_container(containers.at(worker_name).id);
  }
}

}  // namespace bootstrap::installer
