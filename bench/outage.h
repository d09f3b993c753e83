// Downtime as the engine saw it: read from its container events (the lines
// `docker events --format '{{json .}}'` prints), so that an update is measured
// the same way whichever tool drove the engine. The window runs from the first
// container stop signal ("kill") to the last "start" that brought a stopped
// container name back; each container name's own outage runs from its first
// stop signal to its next start under that name (a recreated container keeps
// its name).
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace kestro::bench {

// One container event: when (the engine's clock, ns since the epoch), what
// ("kill", "die", "stop", "create", "start", ...) and the container's name.
struct ContainerEvent {
  std::int64_t time_ns = 0;
  std::string action;
  std::string name;
};

// What an operation took away.
struct Outage {
  double window_ms = 0;               // first stop signal to the last start that ended an outage
  int containers = 0;                 // names stopped and started again
  double longest_ms = 0;              // the longest outage of one name
  double mean_ms = 0;                 // the mean outage of one name
  std::vector<std::string> not_back;  // names stopped and not started again
};

// The container events among JSON `lines`, in time order; lines of other
// types and lines that are not an event are skipped.
std::vector<ContainerEvent> parse_container_events(std::istream& lines);

// The outage in `events` up to `until_ns` (later events, such as a restart
// policy's starts after the operation ended, do not count); nothing when no
// container was stopped and started again.
std::optional<Outage> outage(const std::vector<ContainerEvent>& events, std::int64_t until_ns);

}  // namespace kestro::bench
