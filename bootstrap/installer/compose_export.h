// The service list as a Compose file or a swarm stack file (`bootstrap export`).
//
// compose_file() writes a Compose file (the current format, without a
// "version" key, as docker-compose 1.27 and later and `docker compose` read
// it) that describes the same containers the deployment engine creates, as
// the application's installer::Layout defines them: container names
// application "-" service, the same images, argv, environment in order, one
// mount per source, network memberships under the service's name as alias,
// published ports, ulimits, restart policy and the CPU set the engine would
// really get. Named volumes and networks are
// declared at the top level with `name:` set to their engine names, so a
// Compose project made from the file uses the very volumes and networks the
// installer makes. A service with no networks gets `network_mode: bridge`,
// the engine's default network, as the installer leaves it.
//
// Every string scalar is written double-quoted with escapes, so no value can
// change the file's structure; values also have "$" doubled, because Compose
// would otherwise substitute variables in them.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "bootstrap/installer/service.h"

namespace bootstrap::installer {

// `text` as a YAML double-quoted scalar that reads back as `text` exactly:
// backslash, double quote, control characters, DEL, C1 controls and the
// Unicode line and paragraph separators are escaped; other characters are
// kept. Throws std::invalid_argument when `text` is not valid UTF-8.
std::string yaml_quote(const std::string& text);

// yaml_quote() of `text` with every "$" doubled, for a value Compose
// interpolates. Throws what yaml_quote throws.
std::string compose_value(const std::string& text);

struct ExportOptions {
  // Entries whose image is `application_image` run on application_image ":"
  // version when a version is given.
  std::string application_image;
  std::optional<std::string> version;
  // Every image from this registry (canonical_registry, registry.h); "" for
  // the public names.
  std::string registry;
  // The CPU count the CPU sets are resolved for (resolve_cpuset).
  unsigned cpu_count = 1;
  // Said in the file's heading comment: where cpu_count came from.
  std::string cpu_count_source;
  // Leaves container_name out for this service, so that Compose can run
  // several of it (`--scale`); the benchmark scales the peer that way.
  std::optional<std::string> unnamed_service;
  // A stack file for `docker stack deploy` instead (below).
  bool swarm = false;
};

// The Compose file, ending in "\n". Throws std::invalid_argument for a
// command with an unterminated quote, a malformed volume entry or text that
// is not UTF-8, naming the service.
//
// With options.swarm it is a stack file (format 3.8) for `docker stack
// deploy` instead: no container names, CPU sets or engine bridge, which a
// swarm service cannot have; each service with one replica, WNAME following
// the task's slot as a scaled worker's does on one host ("worker", then
// "worker_2", ...), its restart policy as a swarm restart condition (none
// without one), a CPU limit of as many CPUs as its set
// holds, DNS round robin instead of a virtual address, ports published on the
// task's node; the services that keep data pinned by placement_constraint()
// and updated stop-first, the others start-first; the networks overlay and
// attachable. Its heading lists the node labels to set before deploying.
// Throws as above, and also for a port that is not a number or a CPU set
// that is not a list of numbers and ranges.
std::string compose_file(const std::string& application, const installer::ServiceList& services,
                         const ExportOptions& options);

// The CPU count to resolve CPU sets for: `asked` when given; else the
// engine's (`engine_ncpu`, which may throw engine errors or answer 0); else
// `host_count`. `source` is set to a few words saying which was used.
unsigned export_cpu_count(std::optional<unsigned> asked, const std::function<int()>& engine_ncpu,
                          unsigned host_count, std::string& source);

// Writes `text` to `path`, creating it (mode 0644 before the umask), through
// a new file in the same folder renamed to `path`, so that a link at `path`
// is replaced, never written through. An existing file (or link, dangling
// or not) is replaced only when `force`. Throws std::runtime_error
// naming the path: "... exists" when it is there and not `force`, else with
// the system's error text.
void write_export(const std::filesystem::path& path, const std::string& text, bool force);

}  // namespace bootstrap::installer
