// Carrying out a plan (plan.h) on the engine, and reading the snapshot a plan
// is computed from.
//
// The executor works in steps, each a Phase (phase.h) of up to `jobs`
// requests at once, lines printed in plan order: first images, networks and
// volumes and the removal of leftovers, one after another; then every
// container to create, replacements under their temporary names while the
// containers they replace still run; then the swaps (stop the old one,
// remove it, give the replacement its name, start it) and the starts; last
// the removals of volumes and images. So a recreated container is out for a
// stop, a rename and a start only.
#pragma once

#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/phase.h"
#include "bootstrap/installer/plan.h"

namespace bootstrap::installer {

// What an applied plan did, in plan order.
struct Applied {
  std::vector<std::string> started;    // containers started: what a settle watch looks at
  std::vector<std::string> recreated;  // containers that now run a new definition or image
  std::vector<std::string> created;    // containers that were missing
};

// Reads the engine's networks, volumes and containers (stopped ones too) and
// the id of every image the layout's services name. Engine errors reach the
// caller.
EngineSnapshot read_snapshot(docker::Client& client, const Layout& layout);

// Carries out `plan` through `client` with up to `jobs` requests of a step at
// once, printing each action's line (describe) on `console`, in plan order
// (phase.h). When a
// request fails no further step begins; the failure is thrown as Phase::finish
// throws it (the engine's error, or PhaseFailures), with what was done left
// done. A replacement left under its temporary name is removed by the next
// plan. Counts each action carried out whole in `steps_done` when given (a
// recreation or creation when its container runs its new definition).
// Throws std::invalid_argument for a job count outside 1..kMaxJobs.
Applied apply_plan(docker::Client& client, const Plan& plan, int jobs,
                   const base::Console& console, int* steps_done = nullptr);

// Prints each action on `console` as a dry run tells it: "would " and its
// line.
void print_plan(const Plan& plan, const base::Console& console);

}  // namespace bootstrap::installer
