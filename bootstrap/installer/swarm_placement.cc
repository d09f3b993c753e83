#include "bootstrap/installer/swarm_placement.h"

namespace bootstrap::installer {

bool keeps_data(const ContainerDefinition& definition) {
  // The short name, not the engine name: the application prefix would hide
  // the "temp" a scratch volume is named with.
  for (const VolumeEntry& mount : definition.mounts)
    if (!mount.is_host_path() && mount.source.rfind("temp", 0) != 0) return true;
  return false;
}

std::string placement_label(const Layout& layout, const std::string& service) {
  return "io.kestro.place." + layout.name_of(service);
}

std::string placement_constraint(const Layout& layout, const std::string& service) {
  return "node.labels." + placement_label(layout, service) + "==true";
}

}  // namespace bootstrap::installer
