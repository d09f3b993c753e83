// Service descriptions: the data that drives the deployment engine.
//
// A service list is an ordered list of descriptions, one per container the
// application runs; its order is the order of installation and start. Optional
// members distinguish an absent key (nullopt) from a present, empty one: a
// present empty "volumes" list gives an empty mount table, an absent one none.
//
// Engine objects are named by qualified names: the application name, "-" and
// a short name (a service's name, a volume entry's source, a network entry).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/client.h"

namespace bootstrap::installer {

// Ordered pairs and resource limits are the client's own types, so a
// description's values go into a container definition as they are.
using docker::KeyValues;
using docker::Ulimit;

struct ServiceDescription {
  std::string name;   // short name; gives the container name and network alias
  std::string image;  // image reference, "redis:6.0.4", "lmdx2/app"
  std::optional<std::string> command;      // shell-style words, "/bin/sh -c \"./start.sh api\""
  std::optional<KeyValues> environment;    // in order; names may contain dots
  std::optional<std::vector<Ulimit>> ulimits;
  std::optional<KeyValues> ports;          // container port -> host port
  std::optional<std::vector<std::string>> volumes;   // "source:/path"
  std::optional<std::vector<std::string>> networks;  // short network names
  std::optional<std::string> restart;      // "always", "no", ...
  std::optional<std::string> cpuset;       // "0-3", or "4-x" up to the last CPU
  bool operator==(const ServiceDescription&) const = default;
};

using ServiceList = std::vector<ServiceDescription>;

// application "-" short_name: "lumadex" and "es1" give "lumadex-es1".
std::string qualified_name(const std::string& application_name, const std::string& short_name);

// A volume entry split at ":": the source (host path or volume short name) and
// the path inside the container; parts after the second are ignored.
struct VolumeEntry {
  std::string source;
  std::string target;
  bool is_host_path() const { return !source.empty() && source.front() == '/'; }
};
// Throws std::invalid_argument naming the entry when it has no ":".
VolumeEntry parse_volume_entry(const std::string& entry);
// The source of an entry: the text before the first ":" (the whole entry when
// there is none).
std::string volume_source(const std::string& entry);

// Image references (base/image_reference.h), as the installer reads them.
using base::ImageReference;
using base::parse_image_reference;

// The CPU set a container really gets on an engine with `cpu_count` logical
// CPUs. A set ending in "-x" runs to the last CPU: every "x" becomes
// cpu_count-1 ("4-x" on 8 CPUs is "4-7"). A set written for a bigger machine is
// then clamped to the CPUs that exist: ranges that start beyond the last CPU
// are dropped, ranges that run past it are cut, and a set left empty becomes
// all CPUs ("0-(n-1)"); `clamped` says so. Anything else, a backwards range
// among existing CPUs included, is left for the engine to judge.
struct CpuSet {
  std::string cpus;
  bool clamped = false;
};
CpuSet resolve_cpuset(const std::string& asked, unsigned cpu_count);

// Returns the number of CPUs in a resolved CPU set ("0-3,6" has 5). Throws
// std::invalid_argument for a set that is not a list of numbers and ranges.
unsigned cpus_in(const std::string& set);

}  // namespace bootstrap::installer
