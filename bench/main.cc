// kestro_bench: benchmarks of our installer against docker-compose 1.29.2 on
// one Docker engine (the one DOCKER_HOST names; tools/bench gives it a
// private sandbox).
//
//   kestro_bench run [options]     measure everything, print the table, write
//                                  results.json (see bench/README.md)
//   kestro_bench compose-file --cpus N [--unnamed SERVICE] -o FILE
//
// `run` measures each operation in a child process of its own (this program
// again, or docker-compose), timed from fork to wait4, with the child's CPU
// time and peak resident memory from wait4's rusage. The other subcommands
// (up, down, update, scale N, info, pull, clean, check N, noop) are
// those children.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/compose_file.h"
#include "bench/ops.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace kestro::bench {
namespace {

// ------------------------------------------------------------ statistics

struct Summary {
  std::size_t n = 0;
  double median = 0, min = 0, max = 0;
};

Summary summarize(std::vector<double> v) {
  Summary s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.max = v.back();
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  return s;
}

Json to_json(const std::vector<double>& v) {
  Summary s = summarize(v);
  return Json{{"n", s.n}, {"median", s.median}, {"min", s.min}, {"max", s.max}, {"samples", v}};
}

std::string fmt(double x, int decimals = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

// "median [min-max]"
std::string mmm(const std::vector<double>& v, int decimals = 0) {
  if (v.empty()) return "-";
  Summary s = summarize(v);
  if (s.n == 1) return fmt(s.median, decimals) + " (1 run)";
  return fmt(s.median, decimals) + " [" + fmt(s.min, decimals) + "-" + fmt(s.max, decimals) + "]";
}

double median(const std::vector<double>& v) { return summarize(v).median; }

// ------------------------------------------------------------ child processes

struct Sample {
  double wall_ms = 0;
  double user_ms = 0;
  double sys_ms = 0;
  double cpu_ms = 0;
  double maxrss_mb = 0;
  int status = 0;
  Json child;  // what our own child wrote, when it is ours
};

double tv_ms(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

class Runner {
 public:
  Runner(fs::path out_dir, std::string self, std::string compose)
      : out_(std::move(out_dir)), self_(std::move(self)), compose_(std::move(compose)) {
    fs::create_directories(out_ / "logs");
    fs::create_directories(out_ / "results");
  }

  // Runs argv with its output in logs/NNN-label.log, stdin from /dev/null,
  // killed by SIGALRM after `timeout_s`. Throws when it fails.
  Sample run(std::vector<std::string> argv, const std::string& label, bool ours_result,
             unsigned timeout_s = 300) {
    ++step_;
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%03d-", step_);
    fs::path log = out_ / "logs" / (prefix + label + ".log");
    fs::path result = out_ / "results" / (prefix + label + ".json");
    if (ours_result) {
      argv.push_back("--result");
      argv.push_back(result.string());
    }
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::string log_path = log.string();

    Clock::time_point t0 = Clock::now();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
      int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int nul = ::open("/dev/null", O_RDONLY);
      if (fd < 0 || nul < 0) ::_exit(126);
      ::dup2(nul, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
      ::close(nul);
      ::alarm(timeout_s);
      ::execvp(cargv[0], cargv.data());
      ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    while (::wait4(pid, &status, 0, &ru) < 0) {
      if (errno != EINTR) throw std::runtime_error(std::string("wait4: ") + std::strerror(errno));
    }
    Clock::time_point t1 = Clock::now();

    Sample s;
    s.wall_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    s.user_ms = tv_ms(ru.ru_utime);
    s.sys_ms = tv_ms(ru.ru_stime);
    s.cpu_ms = s.user_ms + s.sys_ms;
    s.maxrss_mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (ours_result && fs::exists(result)) {
      std::ifstream f(result);
      s.child = Json::parse(f, nullptr, false);
    }
    if (s.status != 0) {
      std::ifstream f(log);
      std::stringstream tail;
      tail << f.rdbuf();
      std::string text = tail.str();
      if (text.size() > 2000) text = text.substr(text.size() - 2000);
      throw std::runtime_error(label + " failed with status " + std::to_string(s.status) +
                               " (log " + log_path + "):\n" + text);
    }
    return s;
  }

  Sample ours(const std::vector<std::string>& args, const std::string& label,
              bool measured = true) {
    std::vector<std::string> argv{self_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, label, measured);
  }

  Sample compose(const std::string& file, const std::vector<std::string>& args,
                 const std::string& label) {
    std::vector<std::string> argv{compose_, "--ansi", "never", "-p", "lumadex", "-f", file};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, label, false);
  }

  void clean() { ours({"clean"}, "clean", false); }
  void check(int expected) { ours({"check", std::to_string(expected)}, "check", false); }

  const fs::path& out() const { return out_; }

 private:
  fs::path out_;
  std::string self_;
  std::string compose_;
  int step_ = 0;
};

// ------------------------------------------------------------ the run

struct Series {
  std::vector<Sample> samples;
  std::vector<double> get(const std::function<double(const Sample&)>& f) const {
    std::vector<double> v;
    for (const Sample& s : samples) v.push_back(f(s));
    return v;
  }
  std::vector<double> wall() const { return get([](const Sample& s) { return s.wall_ms; }); }
  std::vector<double> cpu() const { return get([](const Sample& s) { return s.cpu_ms; }); }
  std::vector<double> rss() const { return get([](const Sample& s) { return s.maxrss_mb; }); }
  std::vector<double> child(const char* key) const {
    return get([key](const Sample& s) { return s.child.value(key, 0.0); });
  }
  std::vector<double> overhead_ms() const {
    return get([](const Sample& s) { return s.wall_ms - s.child.value("engine_wait_ms", 0.0); });
  }
  std::vector<double> overhead_pct() const {
    return get([](const Sample& s) {
      return 100.0 * (s.wall_ms - s.child.value("engine_wait_ms", 0.0)) / s.wall_ms;
    });
  }
  std::vector<double> op_overhead_pct() const {
    return get([](const Sample& s) {
      double op = s.child.value("op_ms", 0.0);
      return op > 0 ? 100.0 * (op - s.child.value("engine_wait_ms", 0.0)) / op : 0.0;
    });
  }
};

Json series_json(const Series& s, bool ours) {
  Json j{{"runs", s.samples.size()},
         {"wall_ms", to_json(s.wall())},
         {"cpu_ms", to_json(s.cpu())},
         {"user_ms", to_json(s.get([](const Sample& x) { return x.user_ms; }))},
         {"sys_ms", to_json(s.get([](const Sample& x) { return x.sys_ms; }))},
         {"peak_rss_mb", to_json(s.rss())}};
  if (ours) {
    j["requests"] = to_json(s.child("requests"));
    j["engine_wait_ms"] = to_json(s.child("engine_wait_ms"));
    j["overhead_ms"] = to_json(s.overhead_ms());
    j["overhead_pct_of_wall"] = to_json(s.overhead_pct());
    j["in_process_op_ms"] = to_json(s.child("op_ms"));
    j["in_process_overhead_pct"] = to_json(s.op_overhead_pct());
    Json kinds = Json::array();
    for (const Sample& x : s.samples) kinds.push_back(x.child.value("by_kind", Json::object()));
    j["calls_by_kind_per_run"] = kinds;
  }
  return j;
}

struct Options {
  fs::path out = "build/bench";
  int runs = 5;        // bring-up / take-down cycles per tool; past the
                       // third only while well inside the budget
  int again_runs = 5;  // second bring-ups per tool
  int update_runs = 3;
  std::vector<int> levels = {10, 25, 50, 100};
  int first_level_runs = 3;  // 1 -> first level -> 1, repeated
  std::optional<std::string> compose_file;
  std::optional<std::string> compose_scale_file;
  std::string compose_source = "written by kestro_bench from the catalogue";
  std::string compose = "docker-compose";
  double budget_s = 480;  // optional steps are skipped rather than run past it
};

std::vector<int> parse_levels(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = std::stoi(item);
    if (n < 2 || (!out.empty() && n <= out.back()))
      throw std::invalid_argument("--levels wants increasing worker counts of at least 2");
    out.push_back(n);
  }
  if (out.empty()) throw std::invalid_argument("--levels wants at least one count");
  return out;
}

std::string read_text(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

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

double load_average() {
  double load1 = 0;
  std::ifstream la("/proc/loadavg");
  la >> load1;
  return load1;
}

// One scale step of one tool: from `from` workers to `to`.
struct ScaleStep {
  int from = 0, to = 0;
  Series series;
  int workers() const { return std::abs(to - from); }
  std::vector<double> per_worker() const {
    std::vector<double> v;
    for (double w : series.wall()) v.push_back(w / workers());
    return v;
  }
};
using StepKey = std::pair<int, int>;

int run_all(const Options& o, const std::string& self) {
  const Clock::time_point started = Clock::now();
  auto elapsed_s = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
  auto progress = [&](const std::string& what) {
    std::cerr << "bench: [" << fmt(elapsed_s()) << " s] " << what << std::endl;
  };
  Runner r(o.out, self, o.compose);
  Json results = Json::object();
  std::vector<std::string> notes;
  // A failed step ends its part of the run, not the run: it is noted, the
  // engine is cleared, and the report shows what was measured.
  auto guarded = [&](const std::string& what, const std::function<void()>& body) {
    try {
      body();
    } catch (const std::exception& e) {
      std::string text = e.what();
      notes.push_back(what + " stopped: " + first_line(text));
      progress(what + " stopped: " + text);
      try {
        r.clean();
      } catch (const std::exception& again) {
        notes.push_back("clean-up after that failed too: " + first_line(again.what()));
      }
    }
  };
  const double load_at_start = load_average();

  // -------- machine, engine, images, a clean slate
  progress("engine facts, images, clean slate");
  Sample info = r.ours({"info"}, "info");
  const int ncpu = info.child.value("ncpu", 1);
  results["machine"] = machine_json(info.child);
  r.ours({"pull"}, "pull", false);
  r.clean();

  // The peer's files.
  std::string base_file, scale_file;
  if (o.compose_file) {
    base_file = *o.compose_file;
  } else {
    base_file = (o.out / "lumadex-compose.yml").string();
    r.ours({"compose-file", "--cpus", std::to_string(ncpu), "-o", base_file}, "compose-file", false);
  }
  if (o.compose_scale_file) {
    scale_file = *o.compose_scale_file;
  } else {
    scale_file = (o.out / "lumadex-compose-scale.yml").string();
    r.ours({"compose-file", "--cpus", std::to_string(ncpu), "--unnamed", "worker", "-o", scale_file},
           "compose-file", false);
  }
  r.run({o.compose, "-p", "lumadex", "-f", base_file, "config", "-q"}, "compose-config", false);
  r.run({o.compose, "-p", "lumadex", "-f", scale_file, "config", "-q"}, "compose-config", false);
  const std::string compose_version = first_line(read_text(o.out / "logs" / "compose-version.txt"));
  results["config"] = Json{{"bringup_runs", o.runs},
                           {"again_runs", o.again_runs},
                           {"update_runs", o.update_runs},
                           {"levels", o.levels},
                           {"first_level_runs", o.first_level_runs},
                           {"budget_s", o.budget_s},
                           {"COMPOSE_HTTP_TIMEOUT", "240"},
                           {"compose_version", compose_version},
                           {"compose_file", base_file},
                           {"compose_scale_file", scale_file},
                           {"compose_file_source", o.compose_source}};

  // Our program's own floor: a child that loads the same libraries and does
  // nothing. No operation's peak memory can read below it.
  Series floor;
  for (int i = 0; i < 3; ++i) floor.samples.push_back(r.ours({"noop"}, "noop", false));
  results["process_floor"] = series_json(floor, false);

  // -------- bring-up, second bring-up, take-down
  std::map<std::string, Series> ours, peer;
  const std::vector<std::string> ops = {"up", "up-again", "down"};
  double slowest_cycle_s = 0;
  for (int run = 0; run < o.runs; ++run) {
    if (run >= 3 && elapsed_s() + slowest_cycle_s > 0.3 * o.budget_s) {
      notes.push_back("bring-up cycles " + std::to_string(run + 1) + "-" + std::to_string(o.runs) +
                      " skipped for the time budget");
      break;
    }
    const double cycle_start = elapsed_s();
    progress("bring-up cycle " + std::to_string(run + 1) + "/" + std::to_string(o.runs));
    int agains = o.again_runs / o.runs + (run < o.again_runs % o.runs ? 1 : 0);
    for (int turn = 0; turn < 2; ++turn) {
      bool ours_turn = (turn == 0) == (run % 2 == 0);  // who goes first alternates
      guarded(std::string(ours_turn ? "ours" : "docker-compose") + " bring-up cycle " +
                  std::to_string(run + 1), [&] {
      r.clean();
      r.check(0);
      if (ours_turn) {
        ours["up"].samples.push_back(r.ours({"up"}, "ours-up"));
        r.check(13);
        for (int a = 0; a < agains; ++a) {
          ours["up-again"].samples.push_back(r.ours({"up"}, "ours-up-again"));
          r.check(13);
        }
        ours["down"].samples.push_back(r.ours({"down"}, "ours-down"));
        r.check(0);
      } else {
        peer["up"].samples.push_back(r.compose(base_file, {"up", "-d"}, "compose-up"));
        r.check(13);
        for (int a = 0; a < agains; ++a) {
          peer["up-again"].samples.push_back(r.compose(base_file, {"up", "-d"}, "compose-up-again"));
          r.check(13);
        }
        peer["down"].samples.push_back(r.compose(base_file, {"down"}, "compose-down"));
        r.check(0);
      }
      });
    }
    slowest_cycle_s = std::max(slowest_cycle_s, elapsed_s() - cycle_start);
  }
  r.clean();
  Json bringup = Json::object();
  for (const std::string& op : ops)
    bringup[op] = Json{{"ours", series_json(ours[op], true)}, {"compose", series_json(peer[op], false)}};
  results["bringup"] = bringup;

  // -------- update downtime
  Series updates;
  if (o.update_runs > 0) guarded("update", [&] {
    progress("update x" + std::to_string(o.update_runs));
    r.ours({"up"}, "ours-up-before-update", false);
    r.check(13);
    for (int u = 0; u < o.update_runs; ++u) {
      updates.samples.push_back(r.ours({"update"}, "ours-update"));
      r.check(13);
    }
    r.ours({"down"}, "ours-down-after-update", false);
    r.clean();
  });
  {
    Json u = series_json(updates, true);
    std::map<std::string, std::vector<double>> split;
    std::vector<double> total;
    for (const Sample& s : updates.samples) {
      const Json& d = s.child["downtime"];
      if (!d.is_object()) continue;
      total.push_back(d["total_ms"].get<double>());
      for (auto& [k, v] : d["split"].items()) split[k].push_back(v["ms"].get<double>());
    }
    u["downtime_ms"] = to_json(total);
    Json sj = Json::object();
    for (const char* k :
         {"stop", "remove", "pull", "create", "start", "other_requests", "ours_between_requests"})
      sj[k] = to_json(split[k]);
    u["downtime_split_ms"] = sj;
    results["update"] = u;
  }

  // -------- scaling: 1 -> first level -> 1 a few times, then a staircase
  // up through the levels and back down, one step per measured process.
  const double reserve_s = 15;  // final clean-up and report
  std::map<StepKey, ScaleStep> ours_steps, peer_steps;
  // Planning only (never reported): the slowest per-worker time seen so far.
  auto per_worker_guess = [](const std::map<StepKey, ScaleStep>& steps, double fallback) {
    double g = 0;
    for (const auto& [k, s] : steps)
      for (double w : s.per_worker()) g = std::max(g, w);
    return g > 0 ? g : fallback;
  };
  auto fits = [&](double seconds) { return elapsed_s() + seconds + reserve_s <= o.budget_s; };

  auto scaling = [&](bool is_ours, std::map<StepKey, ScaleStep>& steps) {
    const std::string who = is_ours ? "ours" : "compose";
    auto step = [&](int from, int to) {
      std::string label = who + "-scale-" + std::to_string(from) + "-to-" + std::to_string(to);
      Sample s = is_ours ? r.ours({"scale", std::to_string(to)}, label)
                         : r.compose(scale_file,
                                     {"up", "-d", "--no-deps", "--scale",
                                      "worker=" + std::to_string(to), "worker"},
                                     label);
      r.check(12 + to);
      ScaleStep& st = steps[{from, to}];
      st.from = from;
      st.to = to;
      st.series.samples.push_back(s);
    };
    auto guess = [&](int workers) {
      double mine = per_worker_guess(steps, 0);
      double fallback = per_worker_guess(ours_steps, 1000);
      return (mine > 0 ? mine : fallback) * workers * 1.3 / 1000.0;  // seconds
    };

    if (is_ours)
      r.ours({"up"}, "ours-up-before-scale", false);
    else
      r.compose(scale_file, {"up", "-d"}, "compose-up-before-scale");
    r.check(13);

    const int first = o.levels.front();
    for (int i = 1; i < o.first_level_runs; ++i) {
      if (!fits(2 * guess(first - 1))) {
        notes.push_back(who + ": 1 -> " + std::to_string(first) + " -> 1 repeat " +
                        std::to_string(i + 1) + " skipped for the time budget");
        break;
      }
      progress(who + ": worker 1 -> " + std::to_string(first) + " -> 1");
      step(1, first);
      step(first, 1);
    }
    std::vector<int> reached;
    int at = 1;
    for (int n : o.levels) {
      // The way up and, later, the way back down must both fit.
      if (!fits(guess(n - at) + guess(n - 1))) {
        notes.push_back(who + ": staircase stopped below " + std::to_string(n) +
                        " workers for the time budget");
        break;
      }
      progress(who + ": worker " + std::to_string(at) + " -> " + std::to_string(n));
      step(at, n);
      reached.push_back(n);
      at = n;
    }
    while (!reached.empty()) {
      reached.pop_back();
      int to = reached.empty() ? 1 : reached.back();
      progress(who + ": worker " + std::to_string(at) + " -> " + std::to_string(to));
      step(at, to);
      at = to;
    }
    if (is_ours)
      r.ours({"down"}, "ours-down-after-scale", false);
    else
      r.compose(scale_file, {"down"}, "compose-down-after-scale");
    r.clean();
  };
  guarded("ours scaling", [&] { scaling(true, ours_steps); });
  guarded("docker-compose scaling", [&] { scaling(false, peer_steps); });

  // Per level N: the step up into it and the step down out of it.
  auto step_up_into = [&](int i) -> StepKey { return {i == 0 ? 1 : o.levels[i - 1], o.levels[i]}; };
  auto step_down_from = [&](int i) -> StepKey { return {o.levels[i], i == 0 ? 1 : o.levels[i - 1]}; };
  auto steps_json = [&](const std::map<StepKey, ScaleStep>& steps, bool is_ours) {
    Json out = Json::array();
    for (const auto& [k, s] : steps) {
      Json j{{"from", s.from},
             {"to", s.to},
             {"workers", s.workers()},
             {"process", series_json(s.series, is_ours)},
             {"ms_per_worker", to_json(s.per_worker())}};
      if (is_ours) {
        std::vector<double> req;
        for (double q : s.series.child("requests")) req.push_back(q / s.workers());
        j["requests_per_worker"] = to_json(req);
      }
      out.push_back(j);
    }
    return out;
  };
  // Average per worker over the whole way from 1 to level i, from the steps'
  // medians.
  auto cumulative = [&](const std::map<StepKey, ScaleStep>& steps, int i) -> std::optional<double> {
    double sum = 0;
    for (int k = 0; k <= i; ++k) {
      auto it = steps.find(step_up_into(k));
      if (it == steps.end()) return std::nullopt;
      sum += median(it->second.series.wall());
    }
    return sum / (o.levels[i] - 1);
  };
  Json cum = Json::object();
  for (std::size_t i = 0; i < o.levels.size(); ++i) {
    Json c = Json::object();
    if (auto v = cumulative(ours_steps, static_cast<int>(i))) c["ours"] = *v;
    if (auto v = cumulative(peer_steps, static_cast<int>(i))) c["compose"] = *v;
    cum[std::to_string(o.levels[i])] = c;
  }
  results["scaling"] = Json{{"ours", steps_json(ours_steps, true)},
                            {"compose", steps_json(peer_steps, false)},
                            {"ms_per_worker_created_average_from_1", cum}};

  // -------- report
  std::ostringstream t;
  const Json& m = results["machine"];
  t << "Machine: " << m["nproc"].get<long>() << " CPUs (" << m["cpu_model"].get<std::string>()
    << "), " << m["mem_total_mb"].get<long>() << " MB, kernel " << m["kernel"].get<std::string>()
    << ", " << m["os"].get<std::string>() << "; engine " << info.child.value("server_version", "?")
    << " (API " << info.child.value("api_version", "?") << ", " << ncpu
    << " CPUs); load average " << fmt(load_at_start, 2) << " at start, " << fmt(load_average(), 2)
    << " at end\n";
  t << "Peer: docker-compose " << compose_version << ", compose file " << o.compose_source << "\n";
  t << "Figures: median [min-max]; wall = fork to wait4 of the child process; CPU = its user+system;"
       " RSS = its peak resident set (wait4)\n";
  t << "Process floor (kestro_bench doing nothing, 3 runs): wall " << mmm(floor.wall(), 1)
    << " ms, CPU " << mmm(floor.cpu(), 1) << " ms, peak RSS " << mmm(floor.rss(), 1) << " MB\n\n";

  char line[512];
  t << "1. Bring-up of the 13-service catalogue from nothing (up), again on top of it (up-again),"
       " take-down (down)\n";
  std::snprintf(line, sizeof line, "%-14s %-8s %2s %-20s %-22s %-16s %4s %-20s %-17s %s\n", "tool",
                "op", "n", "wall ms", "CPU ms", "peak RSS MB", "reqs", "engine wait ms",
                "overhead ms", "overhead % of wall");
  t << line;
  for (const std::string& op : ops) {
    const Series& a = ours[op];
    std::snprintf(line, sizeof line, "%-14s %-8s %2zu %-20s %-22s %-16s %4s %-20s %-17s %s\n", "ours",
                  op.c_str(), a.samples.size(), mmm(a.wall()).c_str(), mmm(a.cpu(), 1).c_str(),
                  mmm(a.rss(), 1).c_str(), fmt(median(a.child("requests"))).c_str(),
                  mmm(a.child("engine_wait_ms")).c_str(), mmm(a.overhead_ms(), 1).c_str(),
                  mmm(a.overhead_pct(), 2).c_str());
    t << line;
    const Series& b = peer[op];
    std::snprintf(line, sizeof line, "%-14s %-8s %2zu %-20s %-22s %-16s %4s %-20s %-17s %s\n",
                  "docker-compose", op.c_str(), b.samples.size(), mmm(b.wall()).c_str(),
                  mmm(b.cpu(), 1).c_str(), mmm(b.rss(), 1).c_str(), "-", "-", "-", "-");
    t << line;
  }
  t << "   docker-compose / ours, ratio of medians:\n";
  Json ratios = Json::object();
  for (const std::string& op : ops) {
    if (ours[op].samples.empty() || peer[op].samples.empty()) {
      t << "     " << op << ": not measured on both sides\n";
      continue;
    }
    double w = median(peer[op].wall()) / median(ours[op].wall());
    double c = median(peer[op].cpu()) / median(ours[op].cpu());
    double s = median(peer[op].rss()) / median(ours[op].rss());
    ratios[op] = Json{{"wall", w}, {"cpu", c}, {"peak_rss", s}};
    std::snprintf(line, sizeof line, "     %-9s wall x%-6s CPU x%-6s peak RSS x%s\n", op.c_str(),
                  fmt(w, 2).c_str(), fmt(c, 1).c_str(), fmt(s, 2).c_str());
    t << line;
  }
  results["ratios_compose_over_ours"] = ratios;
  t << "   ours, overhead inside the operation (no process start/exit):";
  for (const std::string& op : ops) t << " " << op << " " << mmm(ours[op].op_overhead_pct(), 2) << " %;";
  t << "\n";
  // Where our wall time goes (the engine's requests by kind, median run) and
  // what our peak memory is made of (at the end of the operation).
  for (const std::string& op : ops) {
    const Series& a = ours[op];
    if (a.samples.empty()) continue;
    std::vector<std::pair<double, std::string>> kinds;
    const Json by_kind = a.samples[a.samples.size() / 2].child.value("by_kind", Json::object());
    for (auto& [k, v] : by_kind.items())
      kinds.emplace_back(v["ms"].get<double>(), k + " x" + std::to_string(v["count"].get<int>()));
    std::sort(kinds.rbegin(), kinds.rend());
    t << "   ours " << op << ", engine time by request kind (middle run):";
    for (std::size_t i = 0; i < kinds.size() && i < 3; ++i)
      t << " " << kinds[i].second << " " << fmt(kinds[i].first) << " ms;";
    std::vector<double> file, anon;
    for (const Sample& x : a.samples) {
      const Json mk = x.child.value("memory_kb", Json::object());
      file.push_back(mk.value("RssFile", 0.0) / 1024.0);
      anon.push_back(mk.value("RssAnon", 0.0) / 1024.0);
    }
    t << " resident at exit: file-backed (program and libraries) " << mmm(file, 1)
      << " MB, anonymous " << mmm(anon, 1) << " MB\n";
  }
  t << "\n";

  const Json& u = results["update"];
  t << "2. Update (LumadexInstaller::update), " << updates.samples.size()
    << " runs; downtime = first container stop to end of last container start\n";
  if (!updates.samples.empty()) {
    t << "   operation wall " << mmm(updates.wall()) << " ms, CPU " << mmm(updates.cpu(), 1)
      << " ms, requests " << fmt(median(updates.child("requests"))) << "; downtime "
      << mmm(u["downtime_ms"]["samples"].get<std::vector<double>>()) << " ms, of which (ms):\n  ";
    for (auto& [k, v] : u["downtime_split_ms"].items())
      t << " " << k << " " << mmm(v["samples"].get<std::vector<double>>()) << ";";
    t << "\n\n";
  }

  t << "3. Scaling \"worker\": ms per worker created in the step up to N, and removed in the step"
       " down from N\n   (wall / workers in the step; docker-compose: up -d --no-deps --scale"
       " worker=N worker, with worker's container_name left out)\n";
  std::snprintf(line, sizeof line, "%5s %-9s %-24s %-24s %-24s %-24s\n", "N", "steps",
                "ours created", "ours removed", "compose created", "compose removed");
  t << line;
  for (std::size_t i = 0; i < o.levels.size(); ++i) {
    StepKey upk = step_up_into(static_cast<int>(i)), downk = step_down_from(static_cast<int>(i));
    auto cell = [&](std::map<StepKey, ScaleStep>& mp, StepKey k) -> std::string {
      auto it = mp.find(k);
      if (it == mp.end()) return "not measured";
      return mmm(it->second.per_worker(), 1);
    };
    std::string steps_text = std::to_string(upk.first) + "<>" + std::to_string(upk.second);
    std::snprintf(line, sizeof line, "%5d %-9s %-24s %-24s %-24s %-24s\n", o.levels[i],
                  steps_text.c_str(), cell(ours_steps, upk).c_str(), cell(ours_steps, downk).c_str(),
                  cell(peer_steps, upk).c_str(), cell(peer_steps, downk).c_str());
    t << line;
  }
  t << "   average ms per worker created on the whole way from 1 to N (sum of step medians / (N-1)):\n";
  for (std::size_t i = 0; i < o.levels.size(); ++i) {
    const Json& c = cum[std::to_string(o.levels[i])];
    t << "     " << o.levels[i] << ": ours " << (c.contains("ours") ? fmt(c["ours"].get<double>(), 1) : "-")
      << ", compose " << (c.contains("compose") ? fmt(c["compose"].get<double>(), 1) : "-") << "\n";
  }
  t << "   ours, engine requests per worker (median of each step):";
  for (const auto& [k, st] : ours_steps) {
    std::vector<double> q;
    for (double x : st.series.child("requests")) q.push_back(x / st.workers());
    t << " " << st.from << "->" << st.to << " " << fmt(median(q), 2) << ";";
  }
  t << "\n";
  t << "   CPU ms / peak RSS MB of the step up to the top level reached: ";
  if (!ours_steps.empty()) {
    const ScaleStep* top = nullptr;
    for (const auto& [k, s] : ours_steps)
      if (s.to > s.from && (!top || s.to > top->to)) top = &s;
    if (top)
      t << "ours (" << top->from << "->" << top->to << ") " << fmt(median(top->series.cpu()))
        << " / " << fmt(median(top->series.rss()), 1) << "; ";
  }
  {
    const ScaleStep* top = nullptr;
    for (const auto& [k, s] : peer_steps)
      if (s.to > s.from && (!top || s.to > top->to)) top = &s;
    if (top)
      t << "docker-compose (" << top->from << "->" << top->to << ") " << fmt(median(top->series.cpu()))
        << " / " << fmt(median(top->series.rss()), 1);
  }
  t << "\n\n";

  // Targets, reported not asserted.
  Json targets = Json::array();
  auto target = [&](const std::string& name, bool met, const std::string& detail) {
    targets.push_back(Json{{"target", name}, {"met", met}, {"detail", detail}});
    t << "   [" << (met ? "met   " : "MISSED") << "] " << name << ": " << detail << "\n";
  };
  t << "4. Targets (reported, not asserted)\n";
  auto not_measured = [&](const std::string& name) {
    targets.push_back(Json{{"target", name}, {"met", nullptr}, {"detail", "not measured"}});
    t << "   [  --  ] " << name << ": not measured\n";
  };
  for (const std::string& op : {std::string("up"), std::string("down")}) {
    if (ours[op].samples.empty()) {
      not_measured("our overhead <= 2% of wall, " + op);
      continue;
    }
    double p = median(ours[op].overhead_pct());
    target("our overhead <= 2% of wall, " + op, p <= 2.0,
           fmt(p, 2) + " % (" + fmt(median(ours[op].overhead_ms()), 1) + " ms of " +
               fmt(median(ours[op].wall())) + " ms)");
  }
  for (const std::string& op : ops) {
    if (!ratios.contains(op)) {
      not_measured("our CPU <= 1/10 of docker-compose's, " + op);
      continue;
    }
    double c = ratios[op]["cpu"].get<double>();
    target("our CPU <= 1/10 of docker-compose's, " + op, c >= 10.0,
           fmt(median(ours[op].cpu()), 1) + " ms vs " + fmt(median(peer[op].cpu()), 1) +
               " ms = 1/" + fmt(c, 1));
  }
  for (const std::string& op : ops) {
    if (!ratios.contains(op)) {
      not_measured("our peak RSS <= 1/5 of docker-compose's, " + op);
      continue;
    }
    double s = ratios[op]["peak_rss"].get<double>();
    double want = median(peer[op].rss()) / 5.0;
    target("our peak RSS <= 1/5 of docker-compose's, " + op, s >= 5.0,
           fmt(median(ours[op].rss()), 1) + " MB vs " + fmt(median(peer[op].rss()), 1) +
               " MB = 1/" + fmt(s, 2) + (s >= 5.0 ? "" : " (needs <= " + fmt(want, 1) + " MB)"));
  }
  {
    const std::size_t last = o.levels.size() - 1;
    for (int side = 0; side < 2; ++side) {
      StepKey a = side ? step_down_from(0) : step_up_into(0);
      StepKey b = side ? step_down_from(static_cast<int>(last)) : step_up_into(static_cast<int>(last));
      std::string name = std::string("ms per worker ") + (side ? "removed" : "created") + " at " +
                         std::to_string(o.levels[last]) + " <= 1.3x at " + std::to_string(o.levels[0]);
      if (!ours_steps.count(a) || !ours_steps.count(b)) {
        not_measured(name);
        continue;
      }
      double pa = median(ours_steps[a].per_worker()), pb = median(ours_steps[b].per_worker());
      target(name, pb <= 1.3 * pa, fmt(pb, 1) + " vs " + fmt(pa, 1) + " ms = x" + fmt(pb / pa, 2));
    }
  }
  results["targets"] = targets;
  results["notes"] = notes;
  for (const std::string& n : notes) t << "   note: " << n << "\n";
  results["elapsed_s"] = elapsed_s();
  t << "\nkestro_bench ran for " << fmt(elapsed_s()) << " s\n";

  std::cout << t.str() << std::flush;
  std::ofstream(o.out / "results.txt") << t.str();
  results["table"] = t.str();
  std::ofstream(o.out / "results.json") << results.dump(2) << "\n";
  std::cerr << "bench: wrote " << (o.out / "results.json").string() << " and "
            << (o.out / "results.txt").string() << std::endl;
  return 0;
}

int usage() {
  std::cerr << "usage: kestro_bench run [--out DIR] [--runs N] [--update-runs N]\n"
               "                        [--again-runs N] [--levels 10,25,50,100]\n"
               "                        [--first-level-runs N] [--budget SECONDS]\n"
               "                        [--compose-file F --compose-scale-file F --compose-source TEXT]\n"
               "                        [--compose PROGRAM]\n"
               "       kestro_bench compose-file --cpus N [--unnamed SERVICE] -o FILE\n";
  return 2;
}

int main_impl(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  const std::string cmd = args[0];
  std::string result;
  for (std::size_t i = 1; i + 1 < args.size(); ++i)
    if (args[i] == "--result") result = args[i + 1];

  if (cmd == "noop") return 0;
  if (cmd == "up") return op_up(result);
  if (cmd == "down") return op_down(result);
  if (cmd == "update") return op_update(result);
  if (cmd == "scale" && args.size() >= 2) return op_scale(std::stoi(args[1]), result);
  if (cmd == "info") return helper_info(result);
  if (cmd == "pull") return helper_pull();
  if (cmd == "clean") return helper_clean();
  if (cmd == "check" && args.size() >= 2) return helper_check(std::stoi(args[1]));

  if (cmd == "compose-file") {
    ComposeOptions co;
    std::string out;
    for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
      if (args[i] == "--cpus") co.cpu_count = static_cast<unsigned>(std::stoul(args[i + 1]));
      else if (args[i] == "--unnamed") co.unnamed_service = args[i + 1];
      else if (args[i] == "-o") out = args[i + 1];
      else return usage();
    }
    if (out.empty()) return usage();
    using bootstrap::installer::lumadex::LumadexInstaller;
    std::ofstream(out) << compose_file(LumadexInstaller::application_name,
                                       LumadexInstaller::lumadex_services, co);
    return 0;
  }

  if (cmd == "run") {
    Options o;
    for (std::size_t i = 1; i < args.size(); ++i) {
      auto value = [&]() -> std::string {
        if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
        return args[++i];
      };
      const std::string a = args[i];
      if (a == "--out") o.out = value();
      else if (a == "--runs") o.runs = std::stoi(value());
      else if (a == "--update-runs") o.update_runs = std::stoi(value());
      else if (a == "--again-runs") o.again_runs = std::stoi(value());
      else if (a == "--levels") o.levels = parse_levels(value());
      else if (a == "--first-level-runs") o.first_level_runs = std::stoi(value());
      else if (a == "--budget") o.budget_s = std::stod(value());
      else if (a == "--compose-file") o.compose_file = value();
      else if (a == "--compose-scale-file") o.compose_scale_file = value();
      else if (a == "--compose-source") o.compose_source = value();
      else if (a == "--compose") o.compose = value();
      else return usage();
    }
    if (o.runs < 1) throw std::invalid_argument("--runs must be at least 1");
    std::string self = fs::read_symlink("/proc/self/exe").string();
    // docker-compose gives up on an engine request after 60 s by default; a
    // busy 2-CPU engine stopping 25 containers at once has taken longer. Our
    // client waits up to 10 minutes for a silent engine; docker-compose gets
    // 4 (each child is killed after 5 anyway).
    ::setenv("COMPOSE_HTTP_TIMEOUT", "240", 1);
    // Each run's logs and per-process results replace the last run's.
    fs::remove_all(o.out / "logs");
    fs::remove_all(o.out / "results");
    fs::create_directories(o.out / "logs");
    // The peer's version, for the record.
    std::string version_file = (o.out / "logs" / "compose-version.txt").string();
    std::string cmdline = o.compose + " version --short > '" + version_file + "' 2>&1";
    if (std::system(cmdline.c_str()) != 0)
      throw std::runtime_error("cannot run " + o.compose + " (see " + version_file + ")");
    return run_all(o, self);
  }
  return usage();
}

}  // namespace
}  // namespace kestro::bench

int main(int argc, char** argv) {
  try {
    return kestro::bench::main_impl(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: " << e.what() << std::endl;
    return 1;
  }
}
