#include "bench/report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

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

// The series of `op`, empty when it never ran.
const Series& of(const std::map<std::string, Series>& by_op, const std::string& op) {
  static const Series none;
  auto it = by_op.find(op);
  return it == by_op.end() ? none : it->second;
}

Json config_json(const Options& o, const Setup& s) {
  return Json{{"bringup_runs", o.runs},
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

Json bringup_json(const BringUps& b) {
  Json out = Json::object();
  for (const std::string& op : kOps)
    out[op] = Json{{"ours", series_json(of(b.ours, op), true)},
                   {"compose", series_json(of(b.peer, op), false)}};
  return out;
}

// The update's series, with each run's downtime and its split by request
// kind as our child measured them.
Json update_json(const Series& updates) {
  Json u = series_json(updates, true);
  std::map<std::string, std::vector<double>> split;
  std::vector<double> total;
  for (const Sample& s : updates.samples) {
    const Json d = s.child.value("downtime", Json());
    if (!d.is_object()) continue;
    total.push_back(d["total_ms"].get<double>());
    for (auto& [k, v] : d["split"].items()) split[k].push_back(v["ms"].get<double>());
  }
  u["downtime_ms"] = summary_json(total);
  Json sj = Json::object();
  for (const char* k :
       {"stop", "remove", "pull", "create", "start", "other_requests", "ours_between_requests"})
    sj[k] = summary_json(split[k]);
  u["downtime_split_ms"] = sj;
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

Json averages_json(const Measurements& m, const std::vector<int>& levels) {
  Json cum = Json::object();
  for (std::size_t i = 0; i < levels.size(); ++i) {
    Json c = Json::object();
    if (auto v = average_from_1(m.ours_steps, levels, i)) c["ours"] = *v;
    if (auto v = average_from_1(m.peer_steps, levels, i)) c["compose"] = *v;
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
  t << "Figures: median [min-max]; wall = fork to wait4 of the child process;"
       " CPU = its user+system; RSS = its peak resident set (wait4)\n";
  t << "Process floor (kestro_bench doing nothing, 3 runs): wall " << mmm(m.floor.wall(), 1)
    << " ms, CPU " << mmm(m.floor.cpu(), 1) << " ms, peak RSS " << mmm(m.floor.rss(), 1)
    << " MB\n\n";
}

void write_bringup_rows(std::ostream& t, const BringUps& b) {
  char line[512];
  const char* row = "%-14s %-8s %2s %-20s %-22s %-16s %4s %-20s %-17s %s\n";
  std::snprintf(line, sizeof line, row, "tool", "op", "n", "wall ms", "CPU ms", "peak RSS MB",
                "reqs", "engine wait ms", "overhead ms", "overhead % of wall");
  t << line;
  for (const std::string& op : kOps) {
    const Series& a = of(b.ours, op);
    std::snprintf(line, sizeof line, row, "ours", op.c_str(),
                  std::to_string(a.samples.size()).c_str(), mmm(a.wall()).c_str(),
                  mmm(a.cpu(), 1).c_str(), mmm(a.rss(), 1).c_str(),
                  fmt(median(a.child("requests"))).c_str(), mmm(a.child("engine_wait_ms")).c_str(),
                  mmm(a.overhead_ms(), 1).c_str(), mmm(a.overhead_pct(), 2).c_str());
    t << line;
    const Series& p = of(b.peer, op);
    std::snprintf(line, sizeof line, row, "docker-compose", op.c_str(),
                  std::to_string(p.samples.size()).c_str(), mmm(p.wall()).c_str(),
                  mmm(p.cpu(), 1).c_str(), mmm(p.rss(), 1).c_str(), "-", "-", "-", "-");
    t << line;
  }
}

// docker-compose's medians over ours, per operation measured on both sides.
Json write_ratios(std::ostream& t, const BringUps& b) {
  t << "   docker-compose / ours, ratio of medians:\n";
  Json ratios = Json::object();
  for (const std::string& op : kOps) {
    const Series& a = of(b.ours, op);
    const Series& p = of(b.peer, op);
    if (a.samples.empty() || p.samples.empty()) {
      t << "     " << op << ": not measured on both sides\n";
      continue;
    }
    double w = median(p.wall()) / median(a.wall());
    double c = median(p.cpu()) / median(a.cpu());
    double s = median(p.rss()) / median(a.rss());
    ratios[op] = Json{{"wall", w}, {"cpu", c}, {"peak_rss", s}};
    char line[512];
    std::snprintf(line, sizeof line, "     %-9s wall x%-6s CPU x%-6s peak RSS x%s\n", op.c_str(),
                  fmt(w, 2).c_str(), fmt(c, 1).c_str(), fmt(s, 2).c_str());
    t << line;
  }
  return ratios;
}

// Where our wall time goes (the engine's requests by kind, middle run) and
// what our memory is made of at the end of the operation.
void write_ours_detail(std::ostream& t, const BringUps& b) {
  t << "   ours, overhead inside the operation (no process start/exit):";
  for (const std::string& op : kOps)
    t << " " << op << " " << mmm(of(b.ours, op).op_overhead_pct(), 2) << " %;";
  t << "\n";
  for (const std::string& op : kOps) {
    const Series& a = of(b.ours, op);
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
}

void write_update(std::ostream& t, const Series& updates, const Json& u) {
  t << "2. Update (LumadexInstaller::update), " << updates.samples.size()
    << " runs; downtime = first container stop to end of last container start\n";
  if (updates.samples.empty()) return;
  t << "   operation wall " << mmm(updates.wall()) << " ms, CPU " << mmm(updates.cpu(), 1)
    << " ms, requests " << fmt(median(updates.child("requests"))) << "; downtime "
    << mmm(u["downtime_ms"]["samples"].get<std::vector<double>>()) << " ms, of which (ms):\n  ";
  for (auto& [k, v] : u["downtime_split_ms"].items())
    t << " " << k << " " << mmm(v["samples"].get<std::vector<double>>()) << ";";
  t << "\n\n";
}

// The highest step up a tool made.
const ScaleStep* top_step(const ScaleSteps& steps) {
  const ScaleStep* top = nullptr;
  for (const auto& [k, s] : steps)
    if (s.to > s.from && (!top || s.to > top->to)) top = &s;
  return top;
}

void write_scaling(std::ostream& t, const std::vector<int>& levels, const Measurements& m,
                   const Json& cum) {
  t << "3. Scaling \"worker\": ms per worker created in the step up to N, and removed in the step"
       " down from N\n   (wall / workers in the step; docker-compose: up -d --no-deps --scale"
       " worker=N worker, with worker's container_name left out)\n";
  char line[512];
  std::snprintf(line, sizeof line, "%5s %-9s %-24s %-24s %-24s %-24s\n", "N", "steps",
                "ours created", "ours removed", "compose created", "compose removed");
  t << line;
  auto cell = [](const ScaleSteps& steps, StepKey k) -> std::string {
    auto it = steps.find(k);
    return it == steps.end() ? "not measured" : mmm(it->second.per_worker(), 1);
  };
  for (std::size_t i = 0; i < levels.size(); ++i) {
    StepKey up = step_up_into(levels, i), down = step_down_from(levels, i);
    std::string steps_text = std::to_string(up.first) + "<>" + std::to_string(up.second);
    std::snprintf(line, sizeof line, "%5d %-9s %-24s %-24s %-24s %-24s\n", levels[i],
                  steps_text.c_str(), cell(m.ours_steps, up).c_str(),
                  cell(m.ours_steps, down).c_str(), cell(m.peer_steps, up).c_str(),
                  cell(m.peer_steps, down).c_str());
    t << line;
  }
  t << "   average ms per worker created on the whole way from 1 to N"
       " (sum of step medians / (N-1)):\n";
  for (int n : levels) {
    const Json& c = cum[std::to_string(n)];
    t << "     " << n << ": ours " << (c.contains("ours") ? fmt(c["ours"].get<double>(), 1) : "-")
      << ", compose " << (c.contains("compose") ? fmt(c["compose"].get<double>(), 1) : "-")
      << "\n";
  }
  t << "   ours, engine requests per worker (median of each step):";
  for (const auto& [k, st] : m.ours_steps) {
    std::vector<double> q;
    for (double x : st.series.child("requests")) q.push_back(x / st.workers());
    t << " " << st.from << "->" << st.to << " " << fmt(median(q), 2) << ";";
  }
  t << "\n";
  t << "   CPU ms / peak RSS MB of the step up to the top level reached: ";
  if (const ScaleStep* top = top_step(m.ours_steps))
    t << "ours (" << top->from << "->" << top->to << ") " << fmt(median(top->series.cpu()))
      << " / " << fmt(median(top->series.rss()), 1) << "; ";
  if (const ScaleStep* top = top_step(m.peer_steps))
    t << "docker-compose (" << top->from << "->" << top->to << ") "
      << fmt(median(top->series.cpu())) << " / " << fmt(median(top->series.rss()), 1);
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
  void not_measured(const std::string& name) {
    list_.push_back(Json{{"target", name}, {"met", nullptr}, {"detail", "not measured"}});
    t_ << "   [  --  ] " << name << ": not measured\n";
  }
  const Json& list() const { return list_; }

 private:
  std::ostream& t_;
  Json list_ = Json::array();
};

Json write_targets(std::ostream& t, const std::vector<int>& levels, const Measurements& m,
                   const Json& ratios) {
  t << "4. Targets (reported, not asserted)\n";
  Targets targets(t);
  const BringUps& b = m.bringups;
  for (const std::string& op : {std::string("up"), std::string("down")}) {
    const std::string name = "our overhead <= 2% of wall, " + op;
    const Series& a = of(b.ours, op);
    if (a.samples.empty()) {
      targets.not_measured(name);
      continue;
    }
    double p = median(a.overhead_pct());
    targets.judged(name, p <= 2.0,
                   fmt(p, 2) + " % (" + fmt(median(a.overhead_ms()), 1) + " ms of " +
                       fmt(median(a.wall())) + " ms)");
  }
  for (const std::string& op : kOps) {
    const std::string name = "our CPU <= 1/10 of docker-compose's, " + op;
    if (!ratios.contains(op)) {
      targets.not_measured(name);
      continue;
    }
    double c = ratios[op]["cpu"].get<double>();
    targets.judged(name, c >= 10.0,
                   fmt(median(of(b.ours, op).cpu()), 1) + " ms vs " +
                       fmt(median(of(b.peer, op).cpu()), 1) + " ms = 1/" + fmt(c, 1));
  }
  for (const std::string& op : kOps) {
    const std::string name = "our peak RSS <= 1/5 of docker-compose's, " + op;
    if (!ratios.contains(op)) {
      targets.not_measured(name);
      continue;
    }
    double s = ratios[op]["peak_rss"].get<double>();
    double peer_rss = median(of(b.peer, op).rss());
    targets.judged(name, s >= 5.0,
                   fmt(median(of(b.ours, op).rss()), 1) + " MB vs " + fmt(peer_rss, 1) +
                       " MB = 1/" + fmt(s, 2) +
                       (s >= 5.0 ? "" : " (needs <= " + fmt(peer_rss / 5.0, 1) + " MB)"));
  }
  const std::size_t last = levels.size() - 1;
  for (bool removed : {false, true}) {
    StepKey a = removed ? step_down_from(levels, 0) : step_up_into(levels, 0);
    StepKey z = removed ? step_down_from(levels, last) : step_up_into(levels, last);
    const std::string name = std::string("ms per worker ") + (removed ? "removed" : "created") +
                             " at " + std::to_string(levels[last]) + " <= 1.3x at " +
                             std::to_string(levels[0]);
    if (!m.ours_steps.count(a) || !m.ours_steps.count(z)) {
      targets.not_measured(name);
      continue;
    }
    double pa = median(m.ours_steps.at(a).per_worker());
    double pz = median(m.ours_steps.at(z).per_worker());
    targets.judged(name, pz <= 1.3 * pa,
                   fmt(pz, 1) + " vs " + fmt(pa, 1) + " ms = x" + fmt(pz / pa, 2));
  }
  return targets.list();
}

}  // namespace

void report(const Session& session, const Measurements& m) {
  const Options& o = session.options();
  Json results = Json::object();
  results["machine"] = m.setup.machine;
  results["config"] = config_json(o, m.setup);
  results["process_floor"] = series_json(m.floor, false);
  results["bringup"] = bringup_json(m.bringups);
  results["update"] = update_json(m.updates);
  const Json cum = averages_json(m, o.levels);
  results["scaling"] = Json{{"ours", steps_json(m.ours_steps, true)},
                            {"compose", steps_json(m.peer_steps, false)},
                            {"ms_per_worker_created_average_from_1", cum}};

  std::ostringstream t;
  write_header(t, o, m);
  t << "1. Bring-up of the 13-service catalogue from nothing (up), again on top of it (up-again),"
       " take-down (down)\n";
  write_bringup_rows(t, m.bringups);
  const Json ratios = write_ratios(t, m.bringups);
  results["ratios_compose_over_ours"] = ratios;
  write_ours_detail(t, m.bringups);
  t << "\n";
  write_update(t, m.updates, results["update"]);
  write_scaling(t, o.levels, m, cum);
  results["targets"] = write_targets(t, o.levels, m, ratios);
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
