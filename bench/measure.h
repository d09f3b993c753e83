// The measurements `kestro_bench run` makes, one function each, in the order
// the run makes them (see bench/README.md for what each one means). Every
// measured operation is a child process started through the session's Runner.
// A failed step ends only its own measurement: it is noted, the engine is
// cleared, and what was measured until then is kept.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bench/app_image.h"
#include "bench/outage.h"
#include "bench/runner.h"

namespace kestro::bench {

// What `kestro_bench run` was asked to do.
struct Options {
  std::filesystem::path out = "build/bench";
  int runs = 5;        // bring-up / take-down cycles per tool; past the
                       // second only while well inside the budget
  int again_runs = 5;  // second bring-ups per tool
  int update_runs = 2;             // each of the full update and the in-place one
  int rollback_runs = 2;           // rolled-back in-place updates
  int rollback_settle_s = 5;       // the settle watch that catches the bad image
  // Our job counts, each measured as a tool of its own: for bring-up and
  // take-down, and for the updates and scaling.
  std::vector<int> jobs = {1, 4, 8, 13};
  std::vector<int> update_jobs = {1, 4};
  int rollback_jobs = 4;
  // The parts of the run to make (kSections); empty: all of them.
  std::set<std::string> only;
  std::string registry;            // the sandbox's mirror registry (host:port); empty:
                                   // the stand-in application image stays
  int app_image_mb = kAppImageMb;  // 0: the stand-in application image stays
  std::vector<int> levels = {10, 25, 50, 100};
  int first_level_runs = 3;  // 1 -> first level -> 1, repeated
  std::optional<std::string> compose_file;
  std::optional<std::string> compose_scale_file;
  std::string compose_source = "written by kestro_bench from the catalogue";
  std::string compose = "docker-compose";
  double budget_s = 480;  // optional steps are skipped rather than run past it
};

// The parts of a run, as --only names them.
inline const std::vector<std::string> kSections = {"bringup", "update", "inplace",
                                                    "rollback", "scaling", "bundles"};

// Whether `options` ask for the part `section`.
bool wanted(const Options& options, const std::string& section);

// One run's shared state: its options, its Runner, the clock it started at
// and the notes the report ends with.
class Session {
 public:
  // Starts the clock; `self` is this program, run again for our children.
  Session(const Options& options, const std::string& self);

  // The run's options.
  const Options& options() const { return options_; }
  // The runner every child goes through.
  Runner& runner() { return runner_; }
  // Seconds since the run started.
  double elapsed_s() const;
  // Prints "bench: [N s] what" to stderr.
  void progress(const std::string& what) const;
  // Adds a line to the report's notes.
  void note(const std::string& text) { notes_.push_back(text); }
  // The notes so far.
  const std::vector<std::string>& notes() const { return notes_; }
  // Runs `body`; when it throws, notes that `what` stopped and clears the
  // engine instead of passing the exception on.
  void guarded(const std::string& what, const std::function<void()>& body);

 private:
  Options options_;
  Runner runner_;
  std::chrono::steady_clock::time_point started_;
  std::vector<std::string> notes_;
};

// One of the tools compared: ours at a job count, or docker-compose.
struct Tool {
  std::string key;   // "ours-j1", "ours-j4", "compose": in labels and results.json
  std::string name;  // "ours --jobs 4", "docker-compose": in the table
  int jobs = 0;      // ours: its job count; docker-compose: 0

  bool ours() const { return jobs > 0; }
};

// Ours at each of the options' bring-up job counts, then docker-compose.
std::vector<Tool> tools(const Options& options);
// Ours at each of the options' update and scaling job counts, then
// docker-compose.
std::vector<Tool> update_tools(const Options& options);
// Ours at `jobs`.
Tool ours_tool(int jobs);

// The machine, the engine and the peer's Compose files, before any timing.
struct Setup {
  Sample info;  // `kestro_bench info`: the engine's version and CPUs
  int ncpu = 1;
  Json machine;
  double load_at_start = 0;
  std::string compose_version;
  std::string compose_file;        // the catalogue, for bring-up and take-down
  std::string compose_scale_file;  // the same without worker's container_name
  std::optional<AppImages> app_images;  // when the application image is the big one
  Sample first_pull;                    // the catalogue's first fetch, big image included
};

// Bring-up from nothing ("up"), again on top of it ("up-again") and
// take-down ("down"): tool key -> operation -> series.
using BringUps = std::map<std::string, std::map<std::string, Series>>;

// One tool's updates, each after lmdx2/app:latest moved to the other variant.
struct Updates {
  Series process;               // ours: update(); docker-compose: `up -d`
  Series pull;                  // docker-compose: `pull`, before `up -d`
  std::vector<Outage> outages;  // each run's, from the engine's events
};

// Rolled-back in-place updates: the product up on a good image, latest
// moved to a crashing one, `update --in-place` with a settle watch.
struct Rollbacks {
  int jobs = 0;
  int settle_s = 0;
  std::string bad_image;  // what latest named during the update
  Series process;         // each run's update-in-place process; its child
                          // reports "rollback" (rollback_times.h)
  std::vector<bool> on_previous;  // per run: 13 ran on the previous image after it
};

// One scale step of one tool: from `from` workers to `to`.
struct ScaleStep {
  int from = 0, to = 0;
  Series series;

  // The workers the step adds or removes.
  int workers() const;
  // Each sample's wall time divided by workers().
  std::vector<double> per_worker() const;
};
using StepKey = std::pair<int, int>;
using ScaleSteps = std::map<StepKey, ScaleStep>;

// Everything one run measured.
struct Measurements {
  Setup setup;
  Series floor;
  BringUps bringups;
  std::map<std::string, Updates> updates;     // by tool key
  std::map<std::string, Updates> in_place;    // ours, by tool key
  Rollbacks rollbacks;
  std::map<std::string, ScaleSteps> steps;    // by tool key
};

// The 1-minute load average of this machine.
double load_average();

// Records the machine and the engine, makes the big application image (when
// the options name a registry and a size), pulls the catalogue's images,
// clears the engine and settles the peer's files (written by us unless
// given), which docker-compose must accept. Throws when any of that fails.
Setup prepare(Session& session);
// Our program doing nothing, three times: no operation can read below it.
Series measure_floor(Session& session);
// Bring-up cycles of every tool (docker-compose on `compose_file`), who goes
// first rotating.
BringUps measure_bringups(Session& session, const std::string& compose_file);
// One tool's updates from a product it brought up: before each, latest moves
// to the other variant of `images` (when there are two). docker-compose's is
// `pull` then `up -d`, and it is then asked to remove the image it replaced,
// unmeasured, as ours does within the update.
// With `in_place`, ours runs update --in-place instead (docker-compose has
// one way, the same either way, and is not measured again).
Updates measure_updates(Session& session, const Tool& tool, const std::string& compose_file,
                        AppImages* images, bool in_place = false);
// Rolled-back updates of ours at the options' rollback job count: latest
// moves to `bad_tag` of lmdx2/app (an image whose entry point exits at
// once) before each, and back to the good variant after; each run must end
// with 13 running on the image that ran before it, or counts as failed.
Rollbacks measure_rollbacks(Session& session, AppImages& images, const std::string& bad_tag);
// The worker staircase of one tool (docker-compose on `scale_file`), with
// no step begun that would not end by `until_s` (seconds into the run, at
// most the budget); `reference` (another tool's steps) paces it until this
// tool has steps of its own.
ScaleSteps measure_scaling(Session& session, const Tool& tool, const std::string& scale_file,
                           const ScaleSteps& reference, double until_s);

// The step from the level below levels[i] (1 below the first) up to it.
StepKey step_up_into(const std::vector<int>& levels, std::size_t i);
// The step from levels[i] down to the level below it.
StepKey step_down_from(const std::vector<int>& levels, std::size_t i);

}  // namespace kestro::bench
