#include "bench/measure.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "bench/stats.h"

namespace fs = std::filesystem;

namespace kestro::bench {

namespace {

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string read_text(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Json machine_json(const Json& engine) {
  long mem_kb = 0;
  std::ifstream mi("/proc/meminfo");
  for (std::string line; std::getline(mi, line);)
    if (line.rfind("MemTotal:", 0) == 0) mem_kb = std::stol(line.substr(9));
  utsname u{};
  ::uname(&u);
  std::string os;
  std::ifstream osr("/etc/os-release");
  for (std::string line; std::getline(osr, line);)
    if (line.rfind("PRETTY_NAME=", 0) == 0) os = line.substr(12);
  os.erase(std::remove(os.begin(), os.end(), '"'), os.end());
  std::string cpu_model;
  std::ifstream ci("/proc/cpuinfo");
  for (std::string line; std::getline(ci, line);)
    if (line.rfind("model name", 0) == 0) {
      cpu_model = line.substr(line.find(':') + 2);
      break;
    }
  return Json{{"nproc", ::sysconf(_SC_NPROCESSORS_ONLN)},
              {"cpu_model", cpu_model},
              {"mem_total_mb", mem_kb / 1024},
              {"kernel", u.release},
              {"os", os},
              {"engine", engine}};
}

// The peer's file given on the command line, or ours written to `own`.
std::string peer_file(Runner& r, const std::optional<std::string>& given, const fs::path& own,
                      int ncpu, bool unnamed_worker) {
  if (given) return *given;
  std::vector<std::string> args{"compose-file", "--cpus", std::to_string(ncpu)};
  if (unnamed_worker) args.insert(args.end(), {"--unnamed", "worker"});
  args.insert(args.end(), {"-o", own.string()});
  r.ours(args, "compose-file", false);
  return own.string();
}

// Our child's arguments for `verb` at the tool's job count.
std::vector<std::string> ours_args(const Tool& tool, std::vector<std::string> args) {
  args.insert(args.end(), {"--jobs", std::to_string(tool.jobs)});
  return args;
}

// One tool's cycle on a clean engine: up from nothing, `agains` times up on
// top of it, then down, each checked by the number of containers running.
void bringup_cycle(Runner& r, const Tool& tool, int agains, const std::string& file,
                   BringUps& into) {
  std::map<std::string, Series>& series = into[tool.key];
  auto step = [&](const std::string& op, const std::string& verb, int running) {
    const std::string label = tool.key + "-" + op;
    series[op].samples.push_back(
        tool.ours() ? r.ours(ours_args(tool, {verb}), label)
                    : r.compose(file, verb == "up" ? std::vector<std::string>{"up", "-d"}
                                                   : std::vector<std::string>{verb},
                                label));
    r.check(running);
  };
  r.clean();
  r.check(0);
  step("up", "up", 13);
  for (int a = 0; a < agains; ++a) step("up-again", "up", 13);
  step("down", "down", 0);
}

// The engine's container events from now until finish(), through the docker
// CLI in the background.
class EventWatch {
 public:
  EventWatch(Runner& r, const std::string& label)
      : log_(r.next_log(label + "-events")),
        watcher_({"docker", "events", "--since", now_text(), "--filter", "type=container",
                  "--format", "{{json .}}"},
                 log_) {}

  // The outage in what the engine reported up to now; nothing when no
  // container was stopped and started again.
  std::optional<Outage> finish() {
    const std::int64_t until = now_ns();
    // Events reach the watcher a little after they happen.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    watcher_.stop();
    std::ifstream lines(log_);
    return outage(parse_container_events(lines), until);
  }

 private:
  static std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  // The engine replays what happened since then, so nothing is lost while
  // the watcher connects.
  static std::string now_text() {
    const std::int64_t ns = now_ns();
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                  static_cast<long long>(ns % 1000000000));
    return text;
  }

  fs::path log_;
  Background watcher_;
};

// Planning only (never reported): the slowest per-worker time seen so far.
double per_worker_guess(const ScaleSteps& steps, double fallback) {
  double g = 0;
  for (const auto& [k, s] : steps)
    for (double w : s.per_worker()) g = std::max(g, w);
  return g > 0 ? g : fallback;
}

// One tool's way through the worker counts, each step a measured process.
class Staircase {
 public:
  // Adds every step it makes to `steps` as soon as it is measured.
  Staircase(Session& session, const Tool& tool, const std::string& file,
            const ScaleSteps& reference, double until_s, ScaleSteps& steps)
      : session_(session), tool_(tool), who_(tool.key), file_(file), reference_(reference),
        until_s_(until_s), steps_(steps) {}

  // 1 -> first level -> 1 repeated, then up through the levels and back,
  // between a bring-up and a take-down of the whole product.
  void run() {
    Runner& r = session_.runner();
    if (tool_.ours())
      r.ours(ours_args(tool_, {"up"}), who_ + "-up-before-scale", false);
    else
      r.compose(file_, {"up", "-d"}, "compose-up-before-scale");
    r.check(13);
    repeat_first_level();
    climb_and_return();
    if (tool_.ours())
      r.ours(ours_args(tool_, {"down"}), who_ + "-down-after-scale", false);
    else
      r.compose(file_, {"down"}, "compose-down-after-scale");
    r.clean();
  }

 private:
  // The first level is cheap enough to measure more than once, but not at
  // the cost of the climb to the top, which the memory's flatness needs.
  void repeat_first_level() {
    const int first = session_.options().levels.front();
    const int top = session_.options().levels.back();
    for (int i = 1; i < session_.options().first_level_runs; ++i) {
      if (!fits(2 * guess_s(first - 1) + 2 * guess_s(top - 1))) {
        session_.note(who_ + ": 1 -> " + std::to_string(first) + " -> 1 repeat " +
                      std::to_string(i + 1) + " skipped for the time budget");
        return;
      }
      session_.progress(who_ + ": worker 1 -> " + std::to_string(first) + " -> 1");
      step(1, first);
      step(first, 1);
    }
  }

  // Up through as many levels as the budget allows, then down the same way.
  void climb_and_return() {
    std::vector<int> reached;
    int at = 1;
    for (int n : session_.options().levels) {
      // The way up and, later, the way back down must both fit.
      if (!fits(guess_s(n - at) + guess_s(n - 1))) {
        session_.note(who_ + ": staircase stopped below " + std::to_string(n) +
                      " workers for the time budget");
        break;
      }
      session_.progress(who_ + ": worker " + std::to_string(at) + " -> " + std::to_string(n));
      step(at, n);
      reached.push_back(n);
      at = n;
    }
    while (!reached.empty()) {
      reached.pop_back();
      const int to = reached.empty() ? 1 : reached.back();
      session_.progress(who_ + ": worker " + std::to_string(at) + " -> " + std::to_string(to));
      step(at, to);
      at = to;
    }
  }

  // The final clean-up and the report need this much of the budget.
  static constexpr double kReserveS = 15;

  bool fits(double seconds) const {
    return session_.elapsed_s() + seconds + kReserveS <= until_s_;
  }

  // Seconds `workers` more or fewer workers should take, with a margin.
  double guess_s(int workers) const {
    double mine = per_worker_guess(steps_, 0);
    double fallback = per_worker_guess(reference_, 1000);
    return (mine > 0 ? mine : fallback) * workers * 1.3 / 1000.0;
  }

  void step(int from, int to) {
    const std::string label = who_ + "-scale-" + std::to_string(from) + "-to-" + std::to_string(to);
    Runner& r = session_.runner();
    Sample s = tool_.ours() ? r.ours(ours_args(tool_, {"scale", std::to_string(to)}), label)
                            : r.compose(file_,
                                        {"up", "-d", "--no-deps", "--scale",
                                         "worker=" + std::to_string(to), "worker"},
                                        label);
    r.check(12 + to);
    ScaleStep& st = steps_[{from, to}];
    st.from = from;
    st.to = to;
    st.series.samples.push_back(s);
  }

  Session& session_;
  const Tool& tool_;
  std::string who_;
  const std::string& file_;
  const ScaleSteps& reference_;
  double until_s_;
  ScaleSteps& steps_;
};

}  // namespace

bool wanted(const Options& options, const std::string& section) {
  return options.only.empty() || options.only.count(section) > 0;
}

Tool ours_tool(int jobs) {
  return {"ours-j" + std::to_string(jobs), "ours --jobs " + std::to_string(jobs), jobs};
}

std::vector<Tool> tools(const Options& options) {
  std::vector<Tool> out;
  for (int jobs : options.jobs) out.push_back(ours_tool(jobs));
  out.push_back({"compose", "docker-compose", 0});
  return out;
}

std::vector<Tool> update_tools(const Options& options) {
  std::vector<Tool> out;
  for (int jobs : options.update_jobs) out.push_back(ours_tool(jobs));
  out.push_back({"compose", "docker-compose", 0});
  return out;
}

Session::Session(const Options& options, const std::string& self)
    : options_(options), runner_(options.out, self, options.compose),
      started_(std::chrono::steady_clock::now()) {}

double Session::elapsed_s() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void Session::progress(const std::string& what) const {
  std::cerr << "bench: [" << fmt(elapsed_s()) << " s] " << what << std::endl;
}

void Session::guarded(const std::string& what, const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    std::string text = e.what();
    note(what + " stopped: " + first_line(text));
    progress(what + " stopped: " + text);
    try {
      runner_.clean();
    } catch (const std::exception& again) {
      note("clean-up after that failed too: " + first_line(again.what()));
    }
  }
}

int ScaleStep::workers() const { return std::abs(to - from); }

std::vector<double> ScaleStep::per_worker() const {
  std::vector<double> v;
  for (double w : series.wall()) v.push_back(w / workers());
  return v;
}

double load_average() {
  double load1 = 0;
  std::ifstream la("/proc/loadavg");
  la >> load1;
  return load1;
}

Setup prepare(Session& session) {
  const Options& o = session.options();
  Runner& r = session.runner();
  Setup s;
  s.load_at_start = load_average();
  session.progress("engine facts, images, clean slate");
  s.info = r.ours({"info"}, "info");
  s.ncpu = s.info.child.value("ncpu", 1);
  s.machine = machine_json(s.info.child);
  if (!o.registry.empty() && o.app_image_mb > 0)
    s.app_images = make_app_images(session, o.registry, o.app_image_mb);
  session.progress("first fetch of the catalogue's images");
  s.first_pull = r.ours({"pull"}, "pull", false);
  r.clean();

  s.compose_file = peer_file(r, o.compose_file, o.out / "lumadex-compose.yml", s.ncpu, false);
  s.compose_scale_file =
      peer_file(r, o.compose_scale_file, o.out / "lumadex-compose-scale.yml", s.ncpu, true);
  for (const std::string& file : {s.compose_file, s.compose_scale_file})
    r.run({o.compose, "-p", "lumadex", "-f", file, "config", "-q"}, "compose-config", false);
  s.compose_version = first_line(read_text(o.out / "logs" / "compose-version.txt"));
  return s;
}

Series measure_floor(Session& session) {
  Series floor;
  for (int i = 0; i < 3; ++i)
    floor.samples.push_back(session.runner().ours({"noop"}, "noop", false));
  return floor;
}

BringUps measure_bringups(Session& session, const std::string& compose_file) {
  const Options& o = session.options();
  const std::vector<Tool> all = tools(o);
  BringUps b;
  double slowest_cycle_s = 0;
  for (int run = 0; run < o.runs; ++run) {
    if (run >= 2 && session.elapsed_s() + slowest_cycle_s > 0.3 * o.budget_s) {
      session.note("bring-up cycles " + std::to_string(run + 1) + "-" + std::to_string(o.runs) +
                   " skipped for the time budget");
      break;
    }
    const double cycle_start = session.elapsed_s();
    session.progress("bring-up cycle " + std::to_string(run + 1) + "/" + std::to_string(o.runs));
    const int agains = o.again_runs / o.runs + (run < o.again_runs % o.runs ? 1 : 0);
    for (std::size_t turn = 0; turn < all.size(); ++turn) {
      // Who goes first rotates, so a slow spell of the machine is shared.
      const Tool& tool = all[(turn + static_cast<std::size_t>(run)) % all.size()];
      session.guarded(tool.name + " bring-up cycle " + std::to_string(run + 1),
                      [&] { bringup_cycle(session.runner(), tool, agains, compose_file, b); });
    }
    slowest_cycle_s = std::max(slowest_cycle_s, session.elapsed_s() - cycle_start);
  }
  // An engine that cannot be cleared ends this part, not the run: what was
  // measured is still reported.
  session.guarded("clean-up after the bring-up cycles", [&] { session.runner().clean(); });
  return b;
}

Updates measure_updates(Session& session, const Tool& tool, const std::string& compose_file,
                        AppImages* images, bool in_place) {
  const int runs = session.options().update_runs;
  Updates updates;
  if (runs <= 0 || (in_place && !tool.ours())) return updates;
  const std::string what = in_place ? "update --in-place" : "update";
  const std::string verb = in_place ? "update-in-place" : "update";
  const std::string label = tool.key + (in_place ? "-inplace" : "-update");
  session.guarded(tool.name + " " + what, [&] {
    Runner& r = session.runner();
    session.progress(tool.name + ": " + what + " x" + std::to_string(runs));
    if (tool.ours())
      r.ours(ours_args(tool, {"up"}), label + "-up-before", false);
    else
      r.compose(compose_file, {"up", "-d"}, "compose-up-before-update");
    r.check(13);
    double slowest_s = 0;
    for (int u = 0; u < runs; ++u) {
      // Past the first, a run must leave the scaling its share of the budget.
      if (u >= 1 && session.elapsed_s() + slowest_s > 0.6 * session.options().budget_s) {
        session.note(tool.name + ": " + what + " runs " + std::to_string(u + 1) + "-" +
                     std::to_string(runs) + " skipped for the time budget");
        break;
      }
      const double run_start = session.elapsed_s();
      if (images && images->tags.size() == 2)
        point_latest_at(session, *images, 1 - images->latest);
      EventWatch watch(r, label);
      if (tool.ours()) {
        updates.process.samples.push_back(r.ours(ours_args(tool, {verb}), label));
      } else {
        updates.pull.samples.push_back(r.compose(compose_file, {"pull"}, "compose-pull"));
        updates.process.samples.push_back(r.compose(compose_file, {"up", "-d"}, "compose-up-d"));
      }
      if (std::optional<Outage> o = watch.finish())
        updates.outages.push_back(*o);
      else
        session.note(tool.name + " " + what + " " + std::to_string(u + 1) +
                     ": the engine reported no container stopped and started again");
      if (!tool.ours()) r.run({"docker", "image", "prune", "-f"}, "compose-prune-replaced", false);
      r.check(13);
      slowest_s = std::max(slowest_s, session.elapsed_s() - run_start);
    }
    if (tool.ours())
      r.ours(ours_args(tool, {"down"}), label + "-down-after", false);
    else
      r.compose(compose_file, {"down"}, "compose-down-after-update");
    r.clean();
  });
  return updates;
}

Rollbacks measure_rollbacks(Session& session, AppImages& images, const std::string& bad_tag) {
  const Options& o = session.options();
  Rollbacks rb;
  rb.jobs = o.rollback_jobs;
  rb.settle_s = o.rollback_settle_s;
  rb.bad_image = "lmdx2/app:" + bad_tag;
  if (o.rollback_runs <= 0) return rb;
  const Tool tool = ours_tool(o.rollback_jobs);
  const std::string settle = std::to_string(o.rollback_settle_s);
  session.guarded(tool.name + " rollback", [&] {
    Runner& r = session.runner();
    session.progress(tool.name + ": rolled-back update --in-place x" +
                     std::to_string(o.rollback_runs));
    r.ours(ours_args(tool, {"up"}), tool.key + "-up-before-rollback", false);
    r.check(13);
    double slowest_s = 0;
    for (int u = 0; u < o.rollback_runs; ++u) {
      if (u >= 1 && session.elapsed_s() + slowest_s > 0.65 * o.budget_s) {
        session.note(tool.name + ": rollback runs " + std::to_string(u + 1) + "-" +
                     std::to_string(o.rollback_runs) + " skipped for the time budget");
        break;
      }
      const double run_start = session.elapsed_s();
      const Sample before = r.ours({"app-image"}, "app-image-before-rollback");
      point_latest_at_tag(session, images, bad_tag);
      Sample s;
      try {
        s = r.ours(ours_args(tool, {"update-in-place", "--settle", settle}),
                   tool.key + "-rollback");
      } catch (...) {
        // The good variant is latest again whatever happened.
        point_latest_at(session, images, images.latest);
        throw;
      }
      point_latest_at(session, images, images.latest);
      const Sample after = r.ours({"app-image"}, "app-image-after-rollback");
      const Json was = before.child.value("app_image_ids", Json::array());
      const Json now = after.child.value("app_image_ids", Json::array());
      const bool back = s.child.value("rolled_back", false) &&
                        after.child.value("running", 0) == 13 && was.size() == 1 && now == was;
      if (!back)
        session.note(tool.name + " rollback " + std::to_string(u + 1) + ": " +
                     (s.child.value("rolled_back", false) ? "" : "no rollback reported; ") +
                     std::to_string(after.child.value("running", 0)) +
                     " running after it, application image " + now.dump() + ", before it " +
                     was.dump());
      rb.process.samples.push_back(s);
      rb.on_previous.push_back(back);
      slowest_s = std::max(slowest_s, session.elapsed_s() - run_start);
    }
    r.ours(ours_args(tool, {"down"}), tool.key + "-down-after-rollback", false);
    r.clean();
  });
  return rb;
}

ScaleSteps measure_scaling(Session& session, const Tool& tool, const std::string& scale_file,
                           const ScaleSteps& reference, double until_s) {
  ScaleSteps steps;
  Staircase staircase(session, tool, scale_file, reference,
                      std::min(until_s, session.options().budget_s), steps);
  session.guarded(tool.name + " scaling", [&] { staircase.run(); });
  return steps;
}

StepKey step_up_into(const std::vector<int>& levels, std::size_t i) {
  return {i == 0 ? 1 : levels[i - 1], levels[i]};
}

StepKey step_down_from(const std::vector<int>& levels, std::size_t i) {
  return {levels[i], i == 0 ? 1 : levels[i - 1]};
}

}  // namespace kestro::bench
