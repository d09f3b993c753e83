#include "bench/ops.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/quiet_host.h"
#include "bench/rollback_times.h"
#include "bench/timing_client.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/rollback.h"

namespace kestro::bench {

namespace docker = bootstrap::docker;
namespace installer = bootstrap::installer;
using installer::lumadex::LumadexInstaller;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpu_ms_self() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto tv = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return tv(u.ru_utime) + tv(u.ru_stime);
}

void write_result(const std::string& path, const Json& result) {
  if (path.empty()) return;
  std::ofstream out(path);
  out << result.dump(1) << "\n";
}

// What every measured operation works through: our libcurl client, counted
// by the client itself, under the timing decorator; one log for all clients.
struct Instruments {
  std::shared_ptr<RequestLog> log = std::make_shared<RequestLog>();
  std::vector<std::shared_ptr<docker::DockerClient>> clients;

  std::shared_ptr<docker::Client> make_client() {
    auto docker = std::shared_ptr<docker::DockerClient>(docker::DockerClient::from_environment());
    clients.push_back(docker);
    return std::make_shared<TimingClient>(docker, log);
  }

  // This process's memory as the kernel counts it, at the end of the
  // operation: VmHWM (peak), VmRSS and its anonymous and file-backed parts.
  static Json memory_kb() {
    Json out = Json::object();
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      for (const char* key : {"VmHWM", "VmRSS", "RssAnon", "RssFile"}) {
        std::string prefix = std::string(key) + ":";
        if (line.rfind(prefix, 0) == 0) out[key] = std::stol(line.substr(prefix.size()));
      }
    }
    return out;
  }

  Json summary(Clock::duration op_wall, double op_cpu, bool ok) const {
    std::size_t requests = 0;
    std::chrono::nanoseconds wait{0};
    for (const auto& c : clients) {
      requests += c->stats().requests;
      wait += c->stats().engine_wait;
    }
    Json by_kind = Json::object();
    std::map<std::string, std::pair<int, double>> kinds;
    for (const CallRecord& r : log->calls) {
      auto& k = kinds[kind_name(r.kind)];
      ++k.first;
      k.second += ms(r.ended - r.started);
    }
    for (const auto& [name, k] : kinds) by_kind[name] = Json{{"count", k.first}, {"ms", k.second}};
    return Json{{"ok", ok},
                {"op_ms", ms(op_wall)},
                {"op_cpu_ms", op_cpu},
                {"requests", requests},
                {"engine_wait_ms", ms(wait)},
                {"calls", log->calls.size()},
                {"by_kind", by_kind},
                {"memory_kb", memory_kb()}};
  }
};

// Runs `body` as the measured operation and writes its figures.
template <typename Body>
int measured(const std::string& result, Instruments& in, Body&& body, Json extra = Json::object()) {
  double cpu0 = cpu_ms_self();
  Clock::time_point t0 = Clock::now();
  bool ok = false;
  std::string error;
  try {
    ok = body();
  } catch (const std::exception& e) {
    error = e.what();
  }
  Clock::duration wall = Clock::now() - t0;
  double cpu = cpu_ms_self() - cpu0;
  Json out = in.summary(wall, cpu, ok);
  if (!error.empty()) out["error"] = error;
  for (auto& [k, v] : extra.items()) out[k] = v;
  write_result(result, out);
  if (!error.empty()) std::cerr << "kestro_bench: " << error << std::endl;
  return ok ? 0 : 1;
}

enum class Phase { kStop, kRemove, kPull, kCreate, kStart, kOther };

Phase phase_of(CallKind kind) {
  switch (kind) {
    case CallKind::kStopContainer: return Phase::kStop;
    case CallKind::kRemoveContainer:
    case CallKind::kRemoveNetwork:
    case CallKind::kRemoveVolume:
    case CallKind::kRemoveImage: return Phase::kRemove;
    case CallKind::kPull: return Phase::kPull;
    case CallKind::kCreateContainer:
    case CallKind::kConnectNetwork:
    case CallKind::kCreateNetwork:
    case CallKind::kCreateVolume: return Phase::kCreate;
    case CallKind::kStartContainer: return Phase::kStart;
    default: return Phase::kOther;
  }
}

// From the first container stop to the end of the last container start,
// split by what the engine was asked to do; time inside no request is ours.
// The update fetches before its first stop and removes the replaced image
// after its last start, so a pull inside this window means it did not.
Json downtime(const RequestLog& log) {
  const CallRecord* first_stop = nullptr;
  const CallRecord* last_start = nullptr;
  for (const CallRecord& r : log.calls) {
    if (r.kind == CallKind::kStopContainer && !first_stop) first_stop = &r;
    if (r.kind == CallKind::kStartContainer) last_start = &r;
  }
  if (!first_stop || !last_start || last_start->ended < first_stop->started) return nullptr;
  Clock::time_point from = first_stop->started, to = last_start->ended;
  double phase_ms[6] = {0, 0, 0, 0, 0, 0};
  int phase_n[6] = {0, 0, 0, 0, 0, 0};
  // Requests in flight together (--jobs) overlap: ours is the time that no
  // request covers, not the window less their sum.
  std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
  for (const CallRecord& r : log.calls) {
    if (r.started < from || r.ended > to) continue;
    auto p = static_cast<int>(phase_of(r.kind));
    phase_ms[p] += ms(r.ended - r.started);
    ++phase_n[p];
    spans.emplace_back(r.started, r.ended);
  }
  std::sort(spans.begin(), spans.end());
  double in_requests = 0;
  Clock::time_point covered = from;
  for (const auto& [start, end] : spans) {
    if (end <= covered) continue;
    in_requests += ms(end - std::max(start, covered));
    covered = end;
  }
  double total = ms(to - from);
  const char* names[6] = {"stop", "remove", "pull", "create", "start", "other_requests"};
  Json split = Json::object();
  for (int i = 0; i < 6; ++i) split[names[i]] = Json{{"ms", phase_ms[i]}, {"requests", phase_n[i]}};
  // Rounding of the clock's reads can make the difference a hair below 0.
  split["ours_between_requests"] =
      Json{{"ms", std::max(0.0, total - in_requests)}, {"requests", 0}};
  return Json{{"total_ms", total}, {"split", split}};
}

}  // namespace

int op_up(int jobs, const std::string& result) {
  Instruments in;
  QuietHost quiet;
  return measured(result, in, [&] {
    installer::KestroInstaller k(LumadexInstaller::application_name,
                                 LumadexInstaller::lumadex_services, in.make_client(), quiet.host);
    k.set_jobs(jobs);
    return k.compose_up(std::nullopt, std::nullopt, false);
  });
}

int op_down(int jobs, const std::string& result) {
  Instruments in;
  QuietHost quiet;
  return measured(result, in, [&] {
    installer::KestroInstaller k(LumadexInstaller::application_name,
                                 LumadexInstaller::lumadex_services, in.make_client(), quiet.host);
    k.set_jobs(jobs);
    k.compose_down();
    return true;
  });
}

int op_scale(int n, int jobs, const std::string& result) {
  Instruments in;
  QuietHost quiet;
  return measured(result, in, [&] {
    LumadexInstaller::Environment environment{quiet.host, [&] { return in.make_client(); }, {}};
    environment.jobs = jobs;
    LumadexInstaller product(environment);
    product.scale("worker", n);
    return true;
  });
}

int op_update(int jobs, const std::string& result) {
  Instruments in;
  QuietHost quiet;
  int status = measured(result, in, [&] {
    LumadexInstaller::Environment environment{quiet.host, [&] { return in.make_client(); }, {}};
    environment.jobs = jobs;
    LumadexInstaller product(environment);
    return product.update();
  });
  // Adds the timeline split to what measured() wrote.
  if (!result.empty()) {
    Json out;
    {
      std::ifstream f(result);
      out = Json::parse(f);
    }
    out["downtime"] = downtime(*in.log);
    write_result(result, out);
  }
  return status;
}

int op_update_in_place(int jobs, int settle_s, const std::string& result) {
  Instruments in;
  QuietHost quiet;
  bool rolled_back = false;
  int status = measured(result, in, [&] {
    LumadexInstaller::Environment environment{quiet.host, [&] { return in.make_client(); }, {}};
    environment.jobs = jobs;
    environment.settle.settle = std::chrono::seconds(settle_s);
    LumadexInstaller product(environment);
    try {
      product.update_in_place();
    } catch (const installer::RolledBack& e) {
      // What a bad version is meant to end in; the run judges it.
      std::cout << "kestro_bench: " << e.what() << std::endl;
      rolled_back = true;
    }
    return true;
  });
  if (!result.empty()) {
    Json out;
    {
      std::ifstream f(result);
      out = Json::parse(f);
    }
    out["downtime"] = downtime(*in.log);
    out["rolled_back"] = rolled_back;
    out["settle_s"] = settle_s;
    std::vector<CallRecord> calls;
    {
      std::lock_guard<std::mutex> lock(in.log->mutex);
      calls = in.log->calls;
    }
    if (std::optional<RollbackTimes> t = rollback_times(std::move(calls)))
      out["rollback"] = Json{{"watch_ms", t->watch_ms},
                             {"failed_to_running_ms", t->failed_to_running_ms},
                             {"started_to_running_ms", t->started_to_running_ms}};
    write_result(result, out);
  }
  return status;
}

int helper_info(const std::string& result) {
  try {
    auto client = docker::DockerClient::from_environment();
    docker::EngineInfo info = client->info();
    write_result(result, Json{{"server_version", info.server_version},
                              {"api_version", client->api_version()},
                              {"ncpu", info.ncpu},
                              {"mem_total", info.mem_total},
                              {"operating_system", info.operating_system}});
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: " << e.what() << std::endl;
    return 1;
  }
}

int helper_pull() {
  try {
    auto client = docker::DockerClient::from_environment();
    std::set<std::string> done;
    for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services) {
      if (!done.insert(s.image).second) continue;
      try {
        client->get_image(s.image);
        std::cout << "present " << s.image << std::endl;
      } catch (const docker::ImageNotFound&) {
        installer::ImageReference ref = installer::parse_image_reference(s.image);
        std::cout << "pulling " << s.image << std::endl;
        client->pull_image(ref.repository, ref.tag, nullptr);
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: " << e.what() << std::endl;
    return 1;
  }
}

namespace {

bool ours_or_peers(const std::string& name) {
  return name.rfind("lumadex-", 0) == 0 || name.rfind("lumadex_", 0) == 0;
}

// `docker network disconnect -f NETWORK NAME`; whether the engine took it.
// Forced, it deletes an endpoint by its name even when no container of that
// name exists any more.
bool force_off(const std::string& network_id, const std::string& name) {
  // Endpoint names are container names: letters, digits, "_", "-", ".".
  if (name.empty() ||
      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") !=
          std::string::npos)
    return false;
  const std::string disconnect =
      "docker network disconnect -f " + network_id + " " + name + " >/dev/null 2>&1";
  return std::system(disconnect.c_str()) == 0;
}

// Removes a network the engine says still has endpoints of containers that
// are gone. The endpoints it lists are forced off first; engine 20.10 has
// also kept one that its inspection no longer lists, so then every name a
// container of either tool can have had is tried, the network's removal
// after each one the engine took.
void remove_with_stale_endpoints(docker::Client& client, const std::string& network_id) {
  const std::string inspect = "docker network inspect -f "
                              "'{{range $k, $v := .Containers}}{{$v.Name}}{{\"\\n\"}}{{end}}' " +
                              network_id;
  std::vector<std::string> names;
  if (std::FILE* pipe = ::popen(inspect.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe)) {
      std::string name(buf);
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
      names.push_back(name);
    }
    ::pclose(pipe);
  }
  for (const std::string& name : names)
    if (!force_off(network_id, name))
      std::cerr << "kestro_bench: clean: could not force " << name << " off" << std::endl;
  auto removed = [&] {
    try {
      client.remove_network(network_id);
      return true;
    } catch (const docker::ApiError& e) {
      if (std::string(e.what()).find("active endpoints") == std::string::npos) throw;
      return false;
    }
  };
  if (removed()) return;
  std::vector<std::string> candidates;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    candidates.push_back("lumadex-" + s.name);
  for (int n = 1; n <= 128; ++n) {
    candidates.push_back("lumadex-worker_" + std::to_string(n));
    candidates.push_back("lumadex_worker_" + std::to_string(n));
  }
  for (const std::string& name : candidates)
    if (force_off(network_id, name)) {
      std::cerr << "kestro_bench: clean: forced a stale endpoint " << name << " off" << std::endl;
      if (removed()) return;
    }
  client.remove_network(network_id);  // throws the engine's refusal
}

}  // namespace

int helper_clean() {
  try {
    auto client = docker::DockerClient::from_environment();
    std::vector<docker::ContainerRef> containers = client->list_containers(true);
    for (const docker::ContainerRef& c : containers)
      if (ours_or_peers(c.name) && c.state == "running") client->stop_container(c.id);
    for (const docker::ContainerRef& c : containers)
      if (ours_or_peers(c.name)) client->remove_container(c.id);
    for (const docker::NetworkRef& n : client->list_networks()) {
      if (!ours_or_peers(n.name)) continue;
      try {
        client->remove_network(n.id);
      } catch (const docker::ApiError& e) {
        // Engine 20.10 sometimes keeps an endpoint of a container that is
        // gone (seen after docker-compose scaled many containers down at
        // once); the docker CLI can force it off, then the removal works.
        if (std::string(e.what()).find("active endpoints") == std::string::npos) throw;
        std::cerr << "kestro_bench: clean: " << e.what() << "; forcing stale endpoints off"
                  << std::endl;
        remove_with_stale_endpoints(*client, n.id);
      }
    }
    for (const docker::VolumeRef& v : client->list_volumes())
      if (ours_or_peers(v.name)) client->remove_volume(v.name);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: clean: " << e.what() << std::endl;
    return 1;
  }
}

int helper_app_image(const std::string& result) {
  try {
    auto client = docker::DockerClient::from_environment();
    std::set<std::string> application;
    for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
      if (s.image.rfind(LumadexInstaller::main_service, 0) == 0)
        application.insert(std::string(LumadexInstaller::application_name) + "-" + s.name);
    int running = 0;
    std::set<std::string> ids;
    for (const docker::ContainerRef& c : client->list_containers(false)) {
      if (!ours_or_peers(c.name)) continue;
      ++running;
      if (application.count(c.name)) ids.insert(c.image_id);
    }
    write_result(result, Json{{"running", running},
                              {"application_containers", application.size()},
                              {"app_image_ids", std::vector<std::string>(ids.begin(), ids.end())}});
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: app-image: " << e.what() << std::endl;
    return 1;
  }
}

int helper_check(int expected) {
  try {
    auto client = docker::DockerClient::from_environment();
    int running = 0;
    for (const docker::ContainerRef& c : client->list_containers(false))
      if (ours_or_peers(c.name)) ++running;
    if (running == expected) return 0;
    std::cerr << "kestro_bench: expected " << expected << " lumadex containers running, found "
              << running << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: check: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace kestro::bench
