#include "bootstrap/installer/plan.h"

#include <limits>
#include <set>

#include "bootstrap/base/image_reference.h"

namespace bootstrap::installer {

namespace {

constexpr const char* kReplacementSuffix = ".next";

const char* verb(Step step, bool would) {
  switch (step) {
    case Step::pull_image: return would ? "pull" : "pulling";
    case Step::create_network: return would ? "create network" : "creating network";
    case Step::create_volume: return would ? "create volume" : "creating volume";
    case Step::create_container: return would ? "create container" : "creating container";
    case Step::recreate_container: return would ? "recreate container" : "recreating container";
    case Step::start_container: return would ? "start container" : "starting container";
    case Step::stop_container: return would ? "stop container" : "stopping container";
    case Step::remove_container: return would ? "remove container" : "removing container";
    case Step::remove_volume: return would ? "remove volume" : "removing volume";
    case Step::remove_image: return would ? "remove image" : "removing image";
  }
  return "";
}

// A container made before the definition label existed is judged by its
// image reference alone, as a bring-up judges it.
bool definition_changed(const docker::ContainerRef& found, const ContainerDefinition& definition) {
  auto label = found.labels.find(kDefinitionLabel);
  if (label != found.labels.end()) return label->second != definition.digest;
  return base::parse_image_reference(found.image) !=
         base::parse_image_reference(definition.request.image);
}

// Why a container no longer matches, or "" when it does. The engine keeps
// running a container on the image it was created from, so a tag that now
// names another image leaves it on the old one until it is recreated.
std::string mismatch(const docker::ContainerRef& found, const ContainerDefinition& definition,
                     const EngineSnapshot& snapshot) {
  if (definition_changed(found, definition)) {
    // An operator choosing a version wants to see which image left for which.
    if (base::parse_image_reference(found.image) == base::parse_image_reference(definition.request.image))
      return "its definition changed";
    const bool by_id = found.image.rfind("sha256:", 0) == 0;
    return "its image changed from " + (by_id ? short_id(found.image) : found.image) + " to " +
           definition.request.image;
  }
  auto image = snapshot.images.find(definition.request.image);
  if (image == snapshot.images.end() || found.image_id.empty()) return {};
  if (short_id(image->second) == short_id(found.image_id)) return {};
  return "its image moved from " + short_id(found.image_id) + " to " + short_id(image->second);
}

Action container_action(Step step, const std::string& name, std::string reason,
                        ContainerDefinition definition, std::string old_id, bool start) {
  return Action{step, name, std::move(reason), std::move(definition), std::move(old_id), start};
}

}  // namespace

std::string replacement_name(const std::string& container) { return container + kReplacementSuffix; }

std::string short_id(const std::string& id) {
  std::string bare = id.rfind("sha256:", 0) == 0 ? id.substr(7) : id;
  return bare.substr(0, 12);
}

std::string describe(const Action& action, bool would) {
  std::string line = std::string(would ? "would " : "") + verb(action.step, would) + " " + action.target;
  if (!action.reason.empty()) line += ": " + action.reason;
  return line;
}

Plan plan_update_in_place(const Layout& layout, const EngineSnapshot& snapshot) {
  Plan plan;
  std::set<std::string> networks, volumes;
  for (const docker::NetworkRef& n : snapshot.networks) networks.insert(n.name);
  for (const docker::VolumeRef& v : snapshot.volumes) volumes.insert(v.name);
  for (const LayoutObject& n : layout.networks())
    if (networks.count(n.name) == 0) plan.push_back({Step::create_network, n.name, "missing"});
  for (const LayoutObject& v : layout.volumes())
    if (volumes.count(v.name) == 0) plan.push_back({Step::create_volume, v.name, "missing"});

  // A replacement's name is taken until what an interrupted run left under
  // it is gone.
  for (const docker::ContainerRef& c : snapshot.containers) {
    const std::string suffix = kReplacementSuffix;
    if (c.name.size() <= suffix.size() || !c.name.ends_with(suffix)) continue;
    const std::string base = c.name.substr(0, c.name.size() - suffix.size());
    for (const ServiceDescription& s : layout.services())
      if (layout.belongs_to(s.name, base)) {
        plan.push_back({Step::remove_container, c.name, "left over from an interrupted update"});
        break;
      }
  }

  for (const ServiceDescription& service : layout.services()) {
    const std::string name = layout.container(service.name);
    const docker::ContainerRef* own = nullptr;
    std::map<int, const docker::ContainerRef*> workers;
    for (const docker::ContainerRef& c : snapshot.containers) {
      if (c.name == name) own = &c;
      if (!layout.is_worker(service.name, c.name)) continue;
      std::optional<long long> number = Layout::worker_number(c.name);
      // A name scaling would not have made is not ours to redefine.
      if (!number || *number < 1 || *number > std::numeric_limits<int>::max()) continue;
      workers[static_cast<int>(*number)] = &c;
    }

    ContainerDefinition definition = layout.definition(service);
    if (own == nullptr) {
      plan.push_back(container_action(Step::create_container, name, "missing", definition, "", true));
    } else if (std::string why = mismatch(*own, definition, snapshot); !why.empty()) {
      plan.push_back(container_action(Step::recreate_container, name, why, definition, own->id, true));
    } else if (own->state != "running") {
      plan.push_back({Step::start_container, name, "it was " + (own->state.empty() ? "stopped" : own->state)});
    }

    for (const auto& [n, worker] : workers) {
      ContainerDefinition worker_definition = layout.worker_definition(service, n);
      std::string why = mismatch(*worker, worker_definition, snapshot);
      if (why.empty()) continue;
      plan.push_back(container_action(Step::recreate_container, worker->name, why, worker_definition,
                                      worker->id, worker->state == "running"));
    }
  }
  return plan;
}

}  // namespace bootstrap::installer
