// Plans: what has to change on the engine, worked out apart from doing it.
//
// A plan is computed from the layout (what the application should look like)
// and a snapshot of the engine (what it looks like now) by a pure function,
// so the decisions are tested as tables: snapshot in, actions out. Each
// action says why it is there. Carrying a plan out is plan_executor.h's job;
// printing one with "would " before each line is the dry run.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/layout.h"

namespace bootstrap::installer {

enum class Step {
  pull_image,          // target: "repository:tag"
  create_network,      // target: engine name
  create_volume,       // target: engine name
  create_container,    // target: container name; definition set
  recreate_container,  // target: container name; definition set, old_id the one it replaces
  start_container,     // target: container name
  stop_container,      // target: container name
  remove_container,    // target: container name
  remove_volume,       // target: engine name
  remove_image,        // target: reference or id
};

struct Action {
  Step step;
  std::string target;
  std::string reason;  // "its image moved", "missing", ...
  // The container as it is to be created (create and recreate).
  std::optional<ContainerDefinition> definition{};
  // The engine's id of the container a recreation replaces.
  std::string old_id{};
  // Whether a created or recreated container is started afterwards: a
  // worker that was not running stays stopped.
  bool start = false;

  bool operator==(const Action& other) const {
    return step == other.step && target == other.target && reason == other.reason &&
           old_id == other.old_id && start == other.start;
  }
};
using Plan = std::vector<Action>;

// What the engine holds of an application, read once.
struct EngineSnapshot {
  std::vector<docker::NetworkRef> networks;
  std::vector<docker::VolumeRef> volumes;
  std::vector<docker::ContainerRef> containers;
  // Image reference, as the definitions name it -> the id the engine has for
  // it now; a reference the engine lacks is absent.
  std::map<std::string, std::string> images;
};

// The name a replacement is created under while the container it replaces
// still runs: "lumadex-api.next". A dot is no part of any name the layout
// makes, so it cannot be taken for a worker or a service.
std::string replacement_name(const std::string& container);

// The changes that bring the engine to the layout without taking anything
// down that need not go: missing networks and volumes are created; a
// replacement left by an interrupted run is removed; each service's
// container that is missing is created, one whose definition digest differs
// or whose image id is no longer the one its image reference names is
// recreated (so are its workers, keeping their numbers, started again only
// if they ran), and one that is merely stopped is started. Volumes are never
// removed. Order: networks, volumes, leftovers, then the services in list
// order, each with its workers by number. Throws what Layout::definition
// throws.
Plan plan_update_in_place(const Layout& layout, const EngineSnapshot& snapshot);

// One line for an action, as the executor prints it when it carries the
// action out ("recreating container lumadex-api: its image moved") and, with
// `would`, as a dry run prints it ("would recreate container lumadex-api:
// its image moved").
std::string describe(const Action& action, bool would);

// The ids "sha256:0123abcd..." and "0123abcd..." are one: the prefix is
// dropped and the first 12 digits kept, as the engine's short ids are.
std::string short_id(const std::string& id);

}  // namespace bootstrap::installer
