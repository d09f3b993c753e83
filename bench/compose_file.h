// The catalogue as a Compose file for docker-compose 1.29.2, so the peer
// brings up the same containers our installer does: container names
// "<application>-<service>", the same images, commands as argv (split the way
// our client splits them), environment in order, mounts (one per source, as
// the installer makes them), published ports, ulimits, restart policies, the
// CPU sets the installer really uses on an engine with `cpu_count` CPUs
// (resolve_cpuset), networks joined under the service name as alias, and
// named volumes and networks declared with `name:` set to their engine names.
#pragma once

#include <optional>
#include <string>

#include "bootstrap/installer/service.h"

namespace kestro::bench {

struct ComposeOptions {
  unsigned cpu_count = 1;
  // Leaves container_name out for this service, so Compose can run several
  // of it (`--scale`).
  std::optional<std::string> unnamed_service;
};

std::string compose_file(const std::string& application,
                         const bootstrap::installer::ServiceList& services,
                         const ComposeOptions& options);

}  // namespace kestro::bench
