#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

namespace {

// An image as a line shows it: a listing names by id the image whose tag has
// moved since.
std::string shown_image(const std::string& image) {
  return image.rfind("sha256:", 0) == 0 ? image.substr(7, 12) : image;
}

bool same_image(const std::string& a, const std::string& b) {
  // "lmdx2/app" and "lmdx2/app:latest" name one image.
  return base::parse_image_reference(a) == base::parse_image_reference(b);
}

// Whether a container found on the engine differs from what would be created
// now. One made before the label existed is judged by its image alone, so an
// installation that predates the label is adopted as long as it runs the
// right image.
bool changed(const docker::ContainerRef& found, const ContainerDefinition& definition) {
  auto label = found.labels.find(kDefinitionLabel);
  if (label != found.labels.end()) return label->second != definition.digest;
  return !same_image(found.image, definition.request.image);
}

}  // namespace

void KestroInstaller::prepare_container(const ServiceDescription& service,
                                        const std::string& container_name) {
  ContainerDefinition definition = layout_.definition(service, container_name);
  const bool found = containers.contains(container_name);
  if (found && !retire_if_changed(container_name, definition)) return;
  create(definition);
  (found ? changes.recreated : changes.created).push_back(container_name);
}

bool KestroInstaller::retire_if_changed(const std::string& container_name,
                                        const ContainerDefinition& definition) {
  const docker::ContainerRef& found = containers.at(container_name);
  if (!changed(found, definition)) return false;
  // An operator choosing a version wants to see which image left for which.
  const std::string why =
      same_image(found.image, definition.request.image)
          ? "its definition changed"
          : "its image changed from " + shown_image(found.image) + " to " +
                shown_image(definition.request.image);
  say((describe_only ? "would recreate container " : "recreating container ") + container_name +
      ": " + why);
  // Volumes are mounted by name, so the replacement finds the data where the
  // old container left it.
  const std::string id = found.id;
  client->stop_container(id);
  client->remove_container(id);
  containers.erase(container_name);
  return true;
}

void KestroInstaller::recreate_changed_workers(const ServiceDescription& service) {
  std::vector<std::pair<int, bool>> retired;  // number, whether it ran
  std::vector<std::string> names;
  for (const auto& [key, container] : containers)
    if (layout_.is_worker(service.name, key)) names.push_back(key);
  for (const std::string& key : names) {
    std::optional<long long> number = Layout::worker_number(key);
    // A name scaling would not have made is not ours to redefine.
    if (!number || *number < 1 || *number > std::numeric_limits<int>::max()) continue;
    int n = static_cast<int>(*number);
    bool ran = containers.at(key).state == "running";
    if (retire_if_changed(key, layout_.worker_definition(service, n))) retired.emplace_back(n, ran);
  }
  for (const auto& [n, ran] : retired) {
    create(layout_.worker_definition(service, n));
    changes.recreated.push_back(layout_.worker(service.name, n));
    if (ran) restart_workers_.push_back(layout_.worker(service.name, n));
  }
}

void KestroInstaller::create(const ContainerDefinition& definition) {
  // Recorded before it joins its networks: a refused join leaves a container
  // that exists.
  record_created(definition, create_on_engine(definition, [this](const std::string& line) { say(line); }));
  join_networks(definition);
}

void KestroInstaller::record_created(const ContainerDefinition& definition,
                                     docker::ContainerRef container) {
  // The snapshot stays the engine's view: what a later bring-up by this
  // object compares with is what was just created.
  container.image = definition.request.image;
  container.labels = definition.request.labels;
  if (container.state.empty()) container.state = "created";
  containers.put(definition.request.name, std::move(container));
}

docker::ContainerRef KestroInstaller::create_on_engine(
    const ContainerDefinition& definition, const std::function<void(const std::string&)>& print) {
  if (definition.cpuset_clamped)
    print("cpu set " + *definition.cpuset_asked + " of " + definition.service +
          " needs CPUs this host lacks (it has " + std::to_string(definition.cpu_count) +
          "); using " + *definition.request.cpuset_cpus);

  return client->create_container(definition.request);
}

void KestroInstaller::join_networks(const ContainerDefinition& definition) {
  const std::string& container_name = definition.request.name;
  for (const NetworkJoin& join : definition.networks) {
    if (!networks.contains(join.network))
      throw std::out_of_range("container " + container_name + ": network " + join.network +
                              " does not exist");
    // Asked by name rather than id, so that an engine error names both.
    client->connect_network(join.network, container_name, join.aliases);
  }
}

}  // namespace bootstrap::installer
