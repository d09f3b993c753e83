#include "bench/report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>

#include "bench/stats.h"

namespace kestro::bench {
namespace {

const std::vector<std::string> kOps = {"up", "up-again", "down"};

Json summary_json(const std::vector<double>& v) {
  Summary s = summarize(v);
  return Json{{"n", s.n}, {"median", s.median}, {"min", s.min}, {"max", s.max}, {"samples", v}};
}

Json series_json(const Series& s, bool ours) {
  Json j{{"runs", s.samples.size()},
         {"wall_ms", summary_json(s.wall())},
         {"cpu_ms", summary_json(s.cpu())},
         {"user_ms", summary_json(s.get([](const Sample& x) { return x.user_ms; }))},
         {"sys_ms", summary_json(s.get([](const Sample& x) { return x.sys_ms; }))},
         {"peak_rss_mb", summary_json(s.rss())}};
  if (ours) {
    j["requests"] = summary_json(s.child("requests"));
    j["engine_wait_ms"] = summary_json(s.child("engine_wait_ms"));
    j["overhead_ms"] = summary_json(s.overhead_ms());
    j["overhead_pct_of_wall"] = summary_json(s.overhead_pct());
    j["in_process_op_ms"] = summary_json(s.child("op_ms"));
    j["in_process_overhead_pct"] = summary_json(s.op_overhead_pct());
    Json kinds = Json::array();
    for (const Sample& x : s.samples) kinds.push_back(x.child.value("by_kind", Json::object()));
    j["calls_by_kind_per_run"] = kinds;
  }
  return j;
}

// The series of `op` by the tool `key`, empty when it never ran.
const Series& of(const BringUps& b, const std::string& key, const std::string& op) {
  static const Series none;
  auto tool = b.find(key);
  if (tool == b.end()) return none;
  auto it = tool->second.find(op);
  return it == tool->second.end() ? none : it->second;
}

// The steps of the tool `key`, empty when it never scaled.
const ScaleSteps& steps_of(const Measurements& m, const std::string& key) {
  static const ScaleSteps none;
  auto it = m.steps.find(key);
  return it == m.steps.end() ? none : it->second;
}

// The peak RSS of the tool's step up to levels[i], when it ran.
std::optional<double> rss_at(const ScaleSteps& steps, const std::vector<int>& levels,
                             std::size_t i) {
  auto it = steps.find(step_up_into(levels, i));
  if (it == steps.end()) return std::nullopt;
  return median(it->second.series.rss());
}

// Each run's figure of the engine's outages.
std::vector<double> outages(const Updates& u, double Outage::*figure) {
  std::vector<double> v;
  for (const Outage& o : u.outages) v.push_back(o.*figure);
  return v;
}

Json config_json(const Options& o, const Setup& s) {
  Json images = nullptr;
  if (s.app_images)
    images = Json{{"registry", s.app_images->registry},
                  {"layer_mb", s.app_images->layer_mb},
                  {"variants", s.app_images->tags},
                  {"make_s", s.app_images->make_s},
                  {"first_pull_ms", s.first_pull.wall_ms}};
  return Json{{"bringup_runs", o.runs},
              {"jobs", o.jobs},
              {"update_jobs", o.update_jobs},
              {"rollback_jobs", o.rollback_jobs},
              {"rollback_runs", o.rollback_runs},
              {"rollback_settle_s", o.rollback_settle_s},
              {"only", std::vector<std::string>(o.only.begin(), o.only.end())},
              {"application_image", images},
              {"again_runs", o.again_runs},
              {"update_runs", o.update_runs},
              {"levels", o.levels},
              {"first_level_runs", o.first_level_runs},
              {"budget_s", o.budget_s},
              {"COMPOSE_HTTP_TIMEOUT", "240"},
              {"compose_version", s.compose_version},
              {"compose_file", s.compose_file},
              {"compose_scale_file", s.compose_scale_file},
              {"compose_file_source", o.compose_source}};
}

Json bringup_json(const Options& o, const BringUps& b) {
  Json out = Json::object();
  for (const Tool& tool : tools(o)) {
    Json ops = Json::object();
    for (const std::string& op : kOps) ops[op] = series_json(of(b, tool.key, op), tool.ours());
    out[tool.key] = ops;
  }
  return out;
}

// One tool's updates: its processes, and each run's outage as the engine's
// events show it; ours also with the downtime its own request timeline shows,
// split by request kind.
Json update_json(const Tool& tool, const Updates& updates) {
  Json u = Json{{"process", series_json(updates.process, tool.ours())}};
  if (!tool.ours()) u["pull"] = series_json(updates.pull, false);
  u["engine_events"] = Json{{"window_ms", summary_json(outages(updates, &Outage::window_ms))},
                            {"longest_ms", summary_json(outages(updates, &Outage::longest_ms))},
                            {"mean_ms", summary_json(outages(updates, &Outage::mean_ms))}};
  Json containers = Json::array(), not_back = Json::array();
  for (const Outage& o : updates.outages) {
    containers.push_back(o.containers);
    not_back.push_back(o.not_back);
  }
  u["engine_events"]["containers"] = containers;
  u["engine_events"]["not_back"] = not_back;
  if (!tool.ours()) return u;
  std::map<std::string, std::vector<double>> split;
  std::vector<double> total;
  for (const Sample& s : updates.process.samples) {
    const Json d = s.child.value("downtime", Json());
    if (!d.is_object()) continue;
    total.push_back(d["total_ms"].get<double>());
    for (auto& [k, v] : d["split"].items()) split[k].push_back(v["ms"].get<double>());
  }
  u["request_timeline_downtime_ms"] = summary_json(total);
  Json sj = Json::object();
  for (const char* k :
       {"stop", "remove", "pull", "create", "start", "other_requests", "ours_between_requests"})
    sj[k] = summary_json(split[k]);
  u["request_timeline_split_ms"] = sj;
  return u;
}

Json steps_json(const ScaleSteps& steps, bool ours) {
  Json out = Json::array();
  for (const auto& [k, s] : steps) {
    Json j{{"from", s.from},
           {"to", s.to},
           {"workers", s.workers()},
           {"process", series_json(s.series, ours)},
           {"ms_per_worker", summary_json(s.per_worker())}};
    if (ours) {
      std::vector<double> req;
      for (double q : s.series.child("requests")) req.push_back(q / s.workers());
      j["requests_per_worker"] = summary_json(req);
    }
    out.push_back(j);
  }
  return out;
}

// Average per worker over the whole way from 1 to levels[i], from the steps'
// medians; nothing when a step on the way was not measured.
std::optional<double> average_from_1(const ScaleSteps& steps, const std::vector<int>& levels,
                                     std::size_t i) {
  double sum = 0;
  for (std::size_t k = 0; k <= i; ++k) {
    auto it = steps.find(step_up_into(levels, k));
    if (it == steps.end()) return std::nullopt;
    sum += median(it->second.series.wall());
  }
  return sum / (levels[i] - 1);
}

Json averages_json(const Measurements& m, const std::vector<Tool>& all,
                   const std::vector<int>& levels) {
  Json cum = Json::object();
  for (std::size_t i = 0; i < levels.size(); ++i) {
    Json c = Json::object();
    for (const Tool& tool : all)
      if (auto v = average_from_1(steps_of(m, tool.key), levels, i)) c[tool.key] = *v;
    cum[std::to_string(levels[i])] = c;
  }
  return cum;
}

void write_header(std::ostream& t, const Options& o, const Measurements& m) {
  const Setup& s = m.setup;
  const Json& mj = s.machine;
  t << "Machine: " << mj["nproc"].get<long>() << " CPUs (" << mj["cpu_model"].get<std::string>()
    << "), " << mj["mem_total_mb"].get<long>() << " MB, kernel " << mj["kernel"].get<std::string>()
    << ", " << mj["os"].get<std::string>() << "; engine "
    << s.info.child.value("server_version", "?") << " (API "
    << s.info.child.value("api_version", "?") << ", " << s.ncpu << " CPUs); load average "
    << fmt(s.load_at_start, 2) << " at start, " << fmt(load_average(), 2) << " at end\n";
  t << "Peer: docker-compose " << s.compose_version << ", compose file " << o.compose_source
    << "\n";
  if (s.app_images)
    t << "Application image: lmdx2/app is the stand-in plus a " << s.app_images->layer_mb
      << " MB layer from /dev/urandom, two variants (made and pushed in "
      << fmt(s.app_images->make_s) << " s); the first fetch of the catalogue took "
      << fmt(s.first_pull.wall_ms / 1000.0, 1) << " s\n";
  else
    t << "Application image: the sandbox's stand-in (no registry given)\n";
  t << "Figures: median [min-max]; wall = fork to wait4 of the child process;"
       " CPU = its user+system; RSS = its peak resident set (wait4)\n";
  t << "Process floor (kestro_bench doing nothing, 3 runs): wall " << mmm(m.floor.wall(), 1)
    << " ms, CPU " << mmm(m.floor.cpu(), 1) << " ms, peak RSS " << mmm(m.floor.rss(), 1)
    << " MB\n\n";
}

void write_bringup_rows(std::ostream& t, const std::vector<Tool>& all, const BringUps& b) {
  char line[512];
  const char* row = "%-14s %-8s %2s %-20s %-22s %-16s %4s %-20s %-17s %s\n";
  std::snprintf(line, sizeof line, row, "tool", "op", "n", "wall ms", "CPU ms", "peak RSS MB",
                "reqs", "engine wait ms", "overhead ms", "overhead % of wall");
  t << line;
  for (const std::string& op : kOps) {
    for (const Tool& tool : all) {
      const Series& a = of(b, tool.key, op);
      // Waits of requests in flight together add up past the wall time: the
      // overhead reads only for one at a time.
      const bool one_at_a_time = tool.jobs == 1;
      std::snprintf(line, sizeof line, row, tool.name.c_str(), op.c_str(),
                    std::to_string(a.samples.size()).c_str(), mmm(a.wall()).c_str(),
                    mmm(a.cpu(), 1).c_str(), mmm(a.rss(), 1).c_str(),
                    tool.ours() ? fmt(median(a.child("requests"))).c_str() : "-",
                    tool.ours() ? mmm(a.child("engine_wait_ms")).c_str() : "-",
                    one_at_a_time ? mmm(a.overhead_ms(), 1).c_str() : "-",
                    one_at_a_time ? mmm(a.overhead_pct(), 2).c_str() : "-");
      t << line;
    }
  }
}

// docker-compose's medians over each of ours, per operation measured on both
// sides: ours key -> op -> {wall, cpu, peak_rss}.
Json write_ratios(std::ostream& t, const std::vector<Tool>& all, const BringUps& b) {
  Json ratios = Json::object();
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    t << "   docker-compose / " << tool.name << ", ratio of medians:\n";
    Json mine = Json::object();
    for (const std::string& op : kOps) {
      const Series& a = of(b, tool.key, op);
      const Series& p = of(b, "compose", op);
      if (a.samples.empty() || p.samples.empty()) {
        t << "     " << op << ": not measured on both sides\n";
        continue;
      }
      double w = median(p.wall()) / median(a.wall());
      double c = median(p.cpu()) / median(a.cpu());
      double s = median(p.rss()) / median(a.rss());
      mine[op] = Json{{"wall", w}, {"cpu", c}, {"peak_rss", s}};
      char line[512];
      std::snprintf(line, sizeof line, "     %-9s wall x%-6s CPU x%-6s peak RSS x%s\n", op.c_str(),
                    fmt(w, 2).c_str(), fmt(c, 1).c_str(), fmt(s, 2).c_str());
      t << line;
    }
    ratios[tool.key] = mine;
  }
  return ratios;
}

// Where our wall time goes (the engine's requests by kind, middle run) and
// what our memory is made of at the end of the operation.
void write_ours_detail(std::ostream& t, const std::vector<Tool>& all, const BringUps& b) {
  for (const Tool& tool : all) {
    if (tool.jobs != 1) continue;
    t << "   " << tool.name << ", overhead inside the operation (no process start/exit):";
    for (const std::string& op : kOps)
      t << " " << op << " " << mmm(of(b, tool.key, op).op_overhead_pct(), 2) << " %;";
    t << "\n";
  }
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    for (const std::string& op : kOps) {
      const Series& a = of(b, tool.key, op);
      if (a.samples.empty()) continue;
      std::vector<std::pair<double, std::string>> kinds;
      const Json by_kind =
          a.samples[a.samples.size() / 2].child.value("by_kind", Json::object());
      for (auto& [k, v] : by_kind.items())
        kinds.emplace_back(v["ms"].get<double>(),
                           k + " x" + std::to_string(v["count"].get<int>()));
      std::sort(kinds.rbegin(), kinds.rend());
      t << "   " << tool.name << " " << op << ", engine time by request kind (middle run):";
      for (std::size_t i = 0; i < kinds.size() && i < 3; ++i)
        t << " " << kinds[i].second << " " << fmt(kinds[i].first) << " ms;";
      std::vector<double> file, anon;
      for (const Sample& x : a.samples) {
        const Json mk = x.child.value("memory_kb", Json::object());
        file.push_back(mk.value("RssFile", 0.0) / 1024.0);
        anon.push_back(mk.value("RssAnon", 0.0) / 1024.0);
      }
      t << " resident at exit: file-backed " << mmm(file, 1) << " MB, anonymous "
        << mmm(anon, 1) << " MB\n";
    }
  }
}

// One tool's row of the update table, and what its own timeline shows.
void write_update_row(std::ostream& t, const Tool& tool, const std::string& name,
                      const Updates& u) {
  char line[512];
  const char* row = "%-24s %-22s %-18s %-20s %-11s %-20s %s\n";
  std::vector<double> wall = u.process.wall(), cpu = u.process.cpu();
  if (!tool.ours())
    for (std::size_t i = 0; i < wall.size() && i < u.pull.samples.size(); ++i) {
      wall[i] += u.pull.samples[i].wall_ms;
      cpu[i] += u.pull.samples[i].cpu_ms;
    }
  std::vector<double> counts;
  for (const Outage& x : u.outages) counts.push_back(x.containers);
  std::snprintf(line, sizeof line, row, name.c_str(), mmm(wall).c_str(), mmm(cpu, 1).c_str(),
                mmm(outages(u, &Outage::window_ms)).c_str(), mmm(counts).c_str(),
                mmm(outages(u, &Outage::longest_ms)).c_str(),
                mmm(outages(u, &Outage::mean_ms)).c_str());
  t << line;
  for (const Outage& x : u.outages) {
    if (x.not_back.empty()) continue;
    t << "   " << name << ": stopped and not started again:";
    for (const std::string& n : x.not_back) t << " " << n;
    t << "\n";
  }
  if (!tool.ours()) {
    t << "   docker-compose: pull " << mmm(u.pull.wall()) << " ms (the product still up), up -d "
      << mmm(u.process.wall()) << " ms (the recreation; the downtime is inside it)\n";
    return;
  }
  const Json j = update_json(tool, u);
  const auto timeline = j["request_timeline_downtime_ms"]["samples"].get<std::vector<double>>();
  t << "   " << name << ", by its own request timeline: first stop request to the end of"
    << " the last start " << mmm(timeline) << " ms; request time by kind (ms; requests in"
    << " flight together add up), and ours, the time no request covered:\n    ";
  for (auto& [k, v] : j["request_timeline_split_ms"].items())
    t << " " << k << " " << mmm(v["samples"].get<std::vector<double>>()) << ";";
  t << "\n";
}

void write_update(std::ostream& t, const Measurements& m, const std::vector<Tool>& all,
                  const Options& o) {
  t << "2. Update, " << o.update_runs << " runs per tool, each after lmdx2/app:latest moved to"
    << (m.setup.app_images ? " the other " + std::to_string(m.setup.app_images->layer_mb) +
                                 " MB variant"
                           : " nothing new (no big image)")
    << "\n   ours: LumadexInstaller::update() (all 13 down and up again) and update_in_place()"
       " (in-place: only what changed, each replacement created first; no settle watch);"
       " docker-compose: pull, then up -d\n"
       "   downtime from the engine's container events: first stop signal to the last start"
       " that brought a container back;\n   per container: its stop signal to its next start\n";
  char line[512];
  std::snprintf(line, sizeof line, "%-24s %-22s %-18s %-20s %-11s %-20s %s\n", "tool",
                "wall ms (all steps)", "CPU ms", "downtime ms", "containers", "longest ms",
                "mean ms per container");
  t << line;
  for (const Tool& tool : all) {
    if (auto it = m.updates.find(tool.key);
        it != m.updates.end() && !it->second.process.samples.empty())
      write_update_row(t, tool, tool.name, it->second);
    if (auto it = m.in_place.find(tool.key);
        it != m.in_place.end() && !it->second.process.samples.empty())
      write_update_row(t, tool, tool.name + " in-place", it->second);
  }
  t << "\n";
}

// Each rolled-back run's times from its own request timeline.
std::vector<double> rollback_figure(const Rollbacks& rb, const char* key) {
  std::vector<double> v;
  for (const Sample& s : rb.process.samples) {
    const Json r = s.child.value("rollback", Json());
    if (r.is_object()) v.push_back(r[key].get<double>());
  }
  return v;
}

Json rollback_json(const Rollbacks& rb) {
  return Json{{"jobs", rb.jobs},
              {"settle_s", rb.settle_s},
              {"bad_image", rb.bad_image},
              {"process", series_json(rb.process, true)},
              {"watch_ms", summary_json(rollback_figure(rb, "watch_ms"))},
              {"failed_to_running_ms", summary_json(rollback_figure(rb, "failed_to_running_ms"))},
              {"started_to_running_ms", summary_json(rollback_figure(rb, "started_to_running_ms"))},
              {"on_previous_image", rb.on_previous}};
}

void write_rollback(std::ostream& t, const Rollbacks& rb) {
  if (rb.process.samples.empty()) return;
  const long good = std::count(rb.on_previous.begin(), rb.on_previous.end(), true);
  t << "2b. Rollback: ours --jobs " << rb.jobs << " update --in-place --settle " << rb.settle_s
    << " with lmdx2/app:latest moved from the good variant to " << rb.bad_image
    << " (its entry point exits 3 at once), " << rb.process.samples.size() << " runs\n"
       "   from its own request timeline: the update's last start (the watch begins) -> the"
       " watch's last request (it failed) -> the rollback's last start (13 running again)\n"
    << "   settle " << rb.settle_s << " s; watch until it failed " << mmm(rollback_figure(rb, "watch_ms"))
    << " ms; failure to 13 running " << mmm(rollback_figure(rb, "failed_to_running_ms"))
    << " ms; update's start to 13 running " << mmm(rollback_figure(rb, "started_to_running_ms"))
    << " ms; whole command wall " << mmm(rb.process.wall()) << " ms, CPU "
    << mmm(rb.process.cpu(), 1) << " ms, peak RSS " << mmm(rb.process.rss(), 1) << " MB\n"
    << "   afterwards 13 running on the image that ran before: " << good << " of "
    << rb.on_previous.size() << " runs\n\n";
}

// The highest step up a tool made.
const ScaleStep* top_step(const ScaleSteps& steps) {
  const ScaleStep* top = nullptr;
  for (const auto& [k, s] : steps)
    if (s.to > s.from && (!top || s.to > top->to)) top = &s;
  return top;
}

void write_scaling(std::ostream& t, const std::vector<int>& levels, const std::vector<Tool>& all,
                   const Measurements& m, const Json& cum) {
  t << "3. Scaling \"worker\": ms per worker created in the step up to N (+), and removed in the"
       " step down from N (-)\n   (wall / workers in the step; docker-compose: up -d --no-deps"
       " --scale worker=N worker, with worker's container_name left out)\n";
  t << "    N steps    ";
  char cell_text[64];
  for (const Tool& tool : all)
    for (const char* sign : {" +", " -"}) {
      std::snprintf(cell_text, sizeof cell_text, "%-21s", (tool.name + sign).c_str());
      t << cell_text;
    }
  t << "\n";
  auto cell = [](const ScaleSteps& steps, StepKey k) -> std::string {
    auto it = steps.find(k);
    return it == steps.end() ? "not measured" : mmm(it->second.per_worker(), 1);
  };
  for (std::size_t i = 0; i < levels.size(); ++i) {
    StepKey up = step_up_into(levels, i), down = step_down_from(levels, i);
    std::snprintf(cell_text, sizeof cell_text, "%5d %-9s", levels[i],
                  (std::to_string(up.first) + "<>" + std::to_string(up.second)).c_str());
    t << cell_text;
    for (const Tool& tool : all)
      for (StepKey k : {up, down}) {
        std::snprintf(cell_text, sizeof cell_text, "%-21s",
                      cell(steps_of(m, tool.key), k).c_str());
        t << cell_text;
      }
    t << "\n";
  }
  t << "   average ms per worker created on the whole way from 1 to N"
       " (sum of step medians / (N-1)):\n";
  for (int n : levels) {
    const Json& c = cum[std::to_string(n)];
    t << "     " << n << ":";
    for (const Tool& tool : all)
      t << " " << tool.name << " "
        << (c.contains(tool.key) ? fmt(c[tool.key].get<double>(), 1) : "-") << ";";
    t << "\n";
  }
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    t << "   " << tool.name << ", engine requests per worker (median of each step):";
    for (const auto& [k, st] : steps_of(m, tool.key)) {
      std::vector<double> q;
      for (double x : st.series.child("requests")) q.push_back(x / st.workers());
      t << " " << st.from << "->" << st.to << " " << fmt(median(q), 2) << ";";
    }
    t << "\n";
  }
  t << "   peak RSS MB of the step up to N:";
  for (const Tool& tool : all) {
    t << " " << tool.name;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      std::optional<double> rss = rss_at(steps_of(m, tool.key), levels, i);
      t << " " << levels[i] << ": " << (rss ? fmt(*rss, 1) : "-")
        << (i + 1 < levels.size() ? "," : ";");
    }
  }
  t << "\n   CPU ms of the step up to the top level reached:";
  for (const Tool& tool : all)
    if (const ScaleStep* top = top_step(steps_of(m, tool.key)))
      t << " " << tool.name << " (" << top->from << "->" << top->to << ") "
        << fmt(median(top->series.cpu())) << ";";
  t << "\n\n";
}

// Each target as a line of the table and an entry of the JSON.
class Targets {
 public:
  explicit Targets(std::ostream& t) : t_(t) {}

  void judged(const std::string& name, bool met, const std::string& detail) {
    list_.push_back(Json{{"target", name}, {"met", met}, {"detail", detail}});
    t_ << "   [" << (met ? "met   " : "MISSED") << "] " << name << ": " << detail << "\n";
  }
  // "ours <= limit x theirs": both figures, their ratio, met or missed.
  void ratio(const std::string& name, double ours, double theirs, double limit,
             const std::string& unit) {
    const double r = theirs > 0 ? ours / theirs : 0;
    const bool met = theirs > 0 && ours <= limit * theirs;
    judged(name, met, fmt(ours) + " " + unit + " vs " + fmt(theirs) + " " + unit + " = x" + fmt(r, 2));
    list_.back()["ours"] = ours;
    list_.back()["theirs"] = theirs;
    list_.back()["ratio"] = r;
    list_.back()["limit"] = limit;
  }
  // A line that judges nothing: a choice the figures make.
  void line(const std::string& name, const std::string& text, Json figures) {
    list_.push_back(Json{{"target", name}, {"met", nullptr}, {"detail", text}, {"figures", figures}});
    t_ << "   [ info ] " << name << ": " << text << "\n";
  }
  void not_measured(const std::string& name) {
    list_.push_back(Json{{"target", name}, {"met", nullptr}, {"detail", "not measured"}});
    t_ << "   [  --  ] " << name << ": not measured\n";
  }
  const Json& list() const { return list_; }
  Json& list_back() { return list_.back(); }

 private:
  std::ostream& t_;
  Json list_ = Json::array();
};

// The bring-up and take-down targets: each of our job counts against
// docker-compose's wall time, and the fewest jobs within 5 % of the best.
void bringup_targets(Targets& targets, const std::vector<Tool>& all, const BringUps& b) {
  for (const std::string op : {"up", "down"}) {
    const Series& peer = of(b, "compose", op);
    std::map<int, double> by_jobs;
    for (const Tool& tool : all) {
      if (!tool.ours()) continue;
      const std::string name = tool.name + ": wall <= 0.9x docker-compose's, " + op;
      const Series& mine = of(b, tool.key, op);
      if (mine.samples.empty()) {
        targets.not_measured(name);
        continue;
      }
      by_jobs[tool.jobs] = median(mine.wall());
      if (peer.samples.empty()) {
        targets.not_measured(name);
        continue;
      }
      targets.ratio(name, median(mine.wall()), median(peer.wall()), 0.9, "ms");
    }
    const std::string name = "the smallest job count within 5 % of the best, " + op;
    if (by_jobs.empty()) {
      targets.not_measured(name);
      continue;
    }
    const int chosen = smallest_within(by_jobs, 0.05);
    std::string text = "--jobs " + std::to_string(chosen) + " (";
    Json figures = Json::object();
    for (const auto& [jobs, wall] : by_jobs) {
      text += (jobs == by_jobs.begin()->first ? "" : ", ") + std::to_string(jobs) + ": " +
              fmt(wall) + " ms";
      figures[std::to_string(jobs)] = wall;
    }
    figures["chosen"] = chosen;
    targets.line(name, text + ")", figures);
  }
}

// The in-place update against docker-compose's (pull + up -d), and the
// rollback's time to 13 running.
void update_targets(Targets& targets, const std::vector<Tool>& all, const Measurements& m) {
  auto compose = m.updates.find("compose");
  const bool peer = compose != m.updates.end() && !compose->second.outages.empty();
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    auto mine = m.in_place.find(tool.key);
    const bool have = mine != m.in_place.end() && !mine->second.outages.empty();
    for (auto [figure, limit, what] :
         {std::tuple{&Outage::window_ms, 0.8, "window"},
          std::tuple{&Outage::longest_ms, 0.5, "longest outage"}}) {
      const std::string name = tool.name + " in-place: " + what + " <= " + fmt(limit, 1) +
                               "x docker-compose's";
      if (!have || !peer) {
        targets.not_measured(name);
        continue;
      }
      targets.ratio(name, median(outages(mine->second, figure)),
                    median(outages(compose->second, figure)), limit, "ms");
    }
  }
  const Rollbacks& rb = m.rollbacks;
  // The rollback's time runs from the watch's failure, as an operator meets
  // it; the update's start is shown beside it.
  const std::string name = "rollback: 13 running within settle + 10 s of the watch's failure";
  const std::vector<double> took = rollback_figure(rb, "failed_to_running_ms");
  if (took.empty()) {
    targets.not_measured(name);
    return;
  }
  const bool all_back =
      !rb.on_previous.empty() && std::find(rb.on_previous.begin(), rb.on_previous.end(), false) ==
                                     rb.on_previous.end();
  const double limit_ms = (rb.settle_s + 10) * 1000.0;
  const double median_ms = median(took);
  targets.judged(name, all_back && median_ms <= limit_ms,
                 fmt(median_ms) + " ms vs " + fmt(limit_ms) + " ms = x" +
                     fmt(median_ms / limit_ms, 2) + " (from the update's start: " +
                     fmt(median(rollback_figure(rb, "started_to_running_ms"))) + " ms)" +
                     (all_back ? "" : "; NOT all runs ended on the previous image"));
  targets.list_back()["ours"] = median_ms;
  targets.list_back()["theirs"] = limit_ms;
  targets.list_back()["ratio"] = median_ms / limit_ms;
  targets.list_back()["limit"] = 1.0;
}

Json write_targets(std::ostream& t, const std::vector<int>& levels, const std::vector<Tool>& bring,
                   const std::vector<Tool>& all, const Measurements& m, const Json& ratios) {
  t << "4. Targets (reported, not asserted)\n";
  Targets targets(t);
  const BringUps& b = m.bringups;
  bringup_targets(targets, bring, b);
  update_targets(targets, all, m);
  auto compose_updates = m.updates.find("compose");
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    const std::string name = tool.name + ": update downtime below docker-compose's";
    auto mine = m.updates.find(tool.key);
    if (mine == m.updates.end() || mine->second.outages.empty() ||
        compose_updates == m.updates.end() || compose_updates->second.outages.empty()) {
      targets.not_measured(name);
      continue;
    }
    const double ours = median(outages(mine->second, &Outage::window_ms));
    const double peer = median(outages(compose_updates->second, &Outage::window_ms));
    targets.judged(name, ours < peer, fmt(ours) + " ms vs " + fmt(peer) + " ms");
  }
  for (const Tool& tool : bring) {
    if (!tool.ours()) continue;
    for (const std::string& op : kOps) {
      const std::string name = tool.name + ": CPU <= 1/10 of docker-compose's, " + op;
      if (!ratios.contains(tool.key) || !ratios[tool.key].contains(op)) {
        targets.not_measured(name);
        continue;
      }
      double c = ratios[tool.key][op]["cpu"].get<double>();
      targets.judged(name, c >= 10.0,
                     fmt(median(of(b, tool.key, op).cpu()), 1) + " ms vs " +
                         fmt(median(of(b, "compose", op).cpu()), 1) + " ms = 1/" + fmt(c, 1));
    }
  }
  const std::size_t last = levels.size() - 1;
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    // The highest level the budget let it reach stands for the top.
    std::size_t top = last;
    while (top > 0 && !rss_at(steps_of(m, tool.key), levels, top)) --top;
    const std::string name = tool.name + ": peak RSS flat, " + std::to_string(levels[top]) +
                             " workers <= 1.1x " + std::to_string(levels[0]);
    std::optional<double> low = rss_at(steps_of(m, tool.key), levels, 0);
    std::optional<double> high = rss_at(steps_of(m, tool.key), levels, top);
    if (!low || !high || top == 0) {
      targets.not_measured(name);
      continue;
    }
    targets.judged(name, *high <= 1.1 * *low,
                   fmt(*high, 1) + " MB vs " + fmt(*low, 1) + " MB = x" + fmt(*high / *low, 2));
  }
  for (const Tool& tool : bring) {
    if (tool.jobs != 1) continue;
    for (const std::string op : {"up", "down"}) {
      const std::string name = tool.name + ": overhead <= 2% of wall, " + op;
      const Series& a = of(b, tool.key, op);
      if (a.samples.empty()) {
        targets.not_measured(name);
        continue;
      }
      double p = median(a.overhead_pct());
      targets.judged(name, p <= 2.0,
                     fmt(p, 2) + " % (" + fmt(median(a.overhead_ms()), 1) + " ms of " +
                         fmt(median(a.wall())) + " ms)");
    }
  }
  for (const Tool& tool : all) {
    if (!tool.ours()) continue;
    const ScaleSteps& steps = steps_of(m, tool.key);
    for (bool removed : {false, true}) {
      StepKey a = removed ? step_down_from(levels, 0) : step_up_into(levels, 0);
      StepKey z = removed ? step_down_from(levels, last) : step_up_into(levels, last);
      const std::string name = tool.name + ": ms per worker " + (removed ? "removed" : "created") +
                               " at " + std::to_string(levels[last]) + " <= 1.3x at " +
                               std::to_string(levels[0]);
      if (!steps.count(a) || !steps.count(z) || last == 0) {
        targets.not_measured(name);
        continue;
      }
      double pa = median(steps.at(a).per_worker());
      double pz = median(steps.at(z).per_worker());
      targets.judged(name, pz <= 1.3 * pa,
                     fmt(pz, 1) + " vs " + fmt(pa, 1) + " ms = x" + fmt(pz / pa, 2));
    }
  }
  return targets.list();
}

}  // namespace

void report(const Session& session, const Measurements& m) {
  const Options& o = session.options();
  const std::vector<Tool> bring = tools(o);
  const std::vector<Tool> all = update_tools(o);
  Json results = Json::object();
  results["machine"] = m.setup.machine;
  results["config"] = config_json(o, m.setup);
  results["process_floor"] = series_json(m.floor, false);
  results["bringup"] = bringup_json(o, m.bringups);
  Json updates = Json::object(), scaling = Json::object();
  for (const Tool& tool : all) {
    if (auto it = m.updates.find(tool.key); it != m.updates.end())
      updates[tool.key] = update_json(tool, it->second);
    if (auto it = m.in_place.find(tool.key); it != m.in_place.end())
      updates[tool.key + "-in-place"] = update_json(tool, it->second);
    scaling[tool.key] = steps_json(steps_of(m, tool.key), tool.ours());
  }
  results["update"] = updates;
  results["rollback"] = rollback_json(m.rollbacks);
  const Json cum = averages_json(m, all, o.levels);
  scaling["ms_per_worker_created_average_from_1"] = cum;
  results["scaling"] = scaling;

  std::ostringstream t;
  write_header(t, o, m);
  t << "1. Bring-up of the 13-service catalogue from nothing (up), again on top of it (up-again),"
       " take-down (down)\n";
  write_bringup_rows(t, bring, m.bringups);
  const Json ratios = write_ratios(t, bring, m.bringups);
  results["ratios_compose_over_ours"] = ratios;
  write_ours_detail(t, bring, m.bringups);
  t << "\n";
  write_update(t, m, all, o);
  write_rollback(t, m.rollbacks);
  write_scaling(t, o.levels, all, m, cum);
  results["targets"] = write_targets(t, o.levels, bring, all, m, ratios);
  results["notes"] = session.notes();
  for (const std::string& n : session.notes()) t << "   note: " << n << "\n";
  results["elapsed_s"] = session.elapsed_s();
  t << "\nkestro_bench ran for " << fmt(session.elapsed_s()) << " s\n";

  std::cout << t.str() << std::flush;
  std::ofstream(o.out / "results.txt") << t.str();
  results["table"] = t.str();
  std::ofstream(o.out / "results.json") << results.dump(2) << "\n";
  std::cerr << "bench: wrote " << (o.out / "results.json").string() << " and "
            << (o.out / "results.txt").string() << std::endl;
}

}  // namespace kestro::bench
