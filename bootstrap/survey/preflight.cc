#include "bootstrap/survey/preflight.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/api_version.h"
#include "bootstrap/docker/config.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/layout.h"

namespace bootstrap::survey {

namespace {

// "8 MiB", "3.5 GiB", "512 bytes".
std::string size_text(std::uint64_t bytes) {
  auto scaled = [](std::uint64_t value, std::uint64_t unit, const char* name) {
    char buffer[32];
    if (value % unit == 0)
      std::snprintf(buffer, sizeof buffer, "%llu %s",
                    static_cast<unsigned long long>(value / unit), name);
    else
      std::snprintf(buffer, sizeof buffer, "%.1f %s",
                    static_cast<double>(value) / static_cast<double>(unit), name);
    std::string text = buffer;
    // 252.0 GiB reads as 252 GiB, like the sizes that are whole.
    std::size_t point = text.find(".0 ");
    if (point != std::string::npos) text.erase(point, 2);
    return text;
  };
  if (bytes >= static_cast<std::uint64_t>(kGiB)) return scaled(bytes, kGiB, "GiB");
  if (bytes >= static_cast<std::uint64_t>(kMiB)) return scaled(bytes, kMiB, "MiB");
  return std::to_string(bytes) + " bytes";
}

using base::join;

bool api_below_minimum(const std::string& version) {
  auto have = docker::parse_api_version(version);
  return !have || *have < *docker::parse_api_version(kMinEngineApi);
}

CheckResult not_checked(const std::string& name) {
  return {name, Level::warn, "not checked: the engine does not answer",
          "run preflight again once the engine check passes"};
}

// Whether `container` runs with host `port` published, from its inspection.
bool publishes(docker::Client& client, const std::string& container, const std::string& cport,
               int port) {
  docker::ContainerDetails details;
  try {
    details = client.inspect_container(container);
  } catch (const docker::NotFound&) {
    return false;
  }
  if (details.status != "running") return false;
  const std::string key = cport.find('/') == std::string::npos ? cport + "/tcp" : cport;
  auto bindings = details.published_ports.find(key);
  if (bindings == details.published_ports.end()) return false;
  const std::vector<std::string>& host_ports = bindings->second;
  return std::find(host_ports.begin(), host_ports.end(), std::to_string(port)) != host_ports.end();
}

}  // namespace

const char* level_name(Level level) {
  switch (level) {
    case Level::pass:
      return "pass";
    case Level::warn:
      return "warn";
    case Level::fail:
      return "fail";
  }
  return "?";
}

// --- Facts about this machine ----------------------------------------------

PortProbe probe_tcp_port(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {PortProbe::State::unknown, std::string("socket: ") + std::strerror(errno)};
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  PortProbe result;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    result.state = error == EADDRINUSE ? PortProbe::State::in_use : PortProbe::State::unknown;
    result.detail = std::string("bind: ") + std::strerror(error);
  }
  ::close(fd);
  return result;
}

MemlockLimit memlock_hard_limit() {
  MemlockLimit limit;
  rlimit current{};
  if (::getrlimit(RLIMIT_MEMLOCK, &current) == 0) {
    limit.unlimited = current.rlim_max == RLIM_INFINITY;
    limit.hard_bytes = limit.unlimited ? 0 : static_cast<std::uint64_t>(current.rlim_max);
  }
  // Raising a hard limit takes CAP_SYS_RESOURCE in the effective set.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    std::string hex = line.substr(line.find_first_not_of(" \t", 7));
    std::uint64_t mask = 0;
    auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), mask, 16);
    (void)end;
    if (ec == std::errc()) limit.can_raise = (mask >> CAP_SYS_RESOURCE) & 1U;
  }
  return limit;
}

std::optional<DiskSpace> disk_space_at(const std::string& path) {
  struct statvfs s {};
  if (::statvfs(path.c_str(), &s) != 0) return std::nullopt;
  return DiskSpace{static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize,
                   static_cast<std::uint64_t>(s.f_blocks) * s.f_frsize};
}

HostProbes real_probes() { return {&probe_tcp_port, &memlock_hard_limit, &disk_space_at}; }

// --- The checks ---------------------------------------------------------------

CheckResult check_engine(docker::Client& client) {
  CheckResult r{"engine", Level::pass, "", ""};
  const std::string upgrade = "use Docker 20.10 or newer (API " + std::string(kMinEngineApi) + ")";
  try {
    // Negotiation first: an engine that answers nothing fails here.
    const std::string in_use = client.api_version();
    const docker::EngineVersion engine = client.version();
    const std::string server = std::string(engine.podman ? "Podman " : "Docker ") +
                               (engine.version.empty() ? "?" : engine.version);
    const std::string& engine_api = engine.api_version;
    if (api_below_minimum(engine_api)) {
      r.level = Level::fail;
      r.reason = server + " speaks API " + (engine_api.empty() ? "?" : engine_api) +
                 ", older than the " + kMinEngineApi + " this installer needs";
      r.advice = upgrade;
    } else if (api_below_minimum(in_use)) {
      r.level = Level::fail;
      r.reason = server + " answers, but API " + in_use +
                 " is in use (DOCKER_API_VERSION?), older than " + kMinEngineApi;
      r.advice = "unset DOCKER_API_VERSION or set it to " + std::string(kMinEngineApi) +
                 " or newer";
    } else {
      r.reason = server + " answers; API " + in_use + " in use (engine up to " +
                 engine_api + ", " + kMinEngineApi + " or newer needed)";
    }
  } catch (const docker::ConnectionError& e) {
    r.level = Level::fail;
    r.reason = std::string("the engine does not answer: ") + e.what();
    // The engine may well run: this account is only kept off its socket.
    if (std::string(e.what()).find("permission denied") != std::string::npos)
      r.advice =
          "run bootstrap with sudo, or add this account to the socket's group (sudo usermod "
          "-aG GROUP $USER) and log in again";
    else
      r.advice = "start Docker (systemctl start docker) or point DOCKER_HOST at a running engine";
  } catch (const docker::EngineError& e) {
    r.level = Level::fail;
    r.reason = std::string("the engine answers with an error: ") + e.what();
    r.advice = upgrade + "; check DOCKER_API_VERSION";
  }
  return r;
}

CheckResult check_cpus(int ncpu, const installer::ServiceList& services) {
  CheckResult r{"cpus", Level::pass, "", ""};
  if (ncpu <= 0) {
    r.level = Level::warn;
    r.reason = "the engine does not say how many CPUs it has";
    r.advice = "CPU sets are cut to one CPU if the engine cannot tell; check `docker info`";
    return r;
  }
  // Services grouped by what their set becomes, in catalogue order.
  struct Change {
    std::string asked;
    std::string got;
    std::vector<std::string> services;
  };
  std::vector<Change> changes;
  std::vector<std::string> sets;
  for (const installer::ServiceDescription& s : services) {
    if (!s.cpuset) continue;
    installer::CpuSet set = installer::resolve_cpuset(*s.cpuset, static_cast<unsigned>(ncpu));
    if (std::find(sets.begin(), sets.end(), set.cpus) == sets.end()) sets.push_back(set.cpus);
    if (!set.clamped) continue;
    auto same = std::find_if(changes.begin(), changes.end(), [&](const Change& c) {
      return c.asked == *s.cpuset && c.got == set.cpus;
    });
    if (same == changes.end())
      changes.push_back({*s.cpuset, set.cpus, {s.name}});
    else
      same->services.push_back(s.name);
  }
  const std::string cpus = std::to_string(ncpu) + " logical CPU" + (ncpu == 1 ? "" : "s");
  if (changes.empty()) {
    r.reason = cpus + "; every CPU set fits as written (" + join(sets, ", ") + ")";
    return r;
  }
  // The smallest machine on which no set needs cutting.
  auto fits_on = [&](unsigned n) {
    return std::none_of(services.begin(), services.end(), [&](const installer::ServiceDescription& s) {
      return s.cpuset && installer::resolve_cpuset(*s.cpuset, n).clamped;
    });
  };
  unsigned enough = static_cast<unsigned>(ncpu) + 1;
  while (!fits_on(enough) && enough < 4096) ++enough;
  std::vector<std::string> parts;
  for (const Change& c : changes)
    parts.push_back(c.asked + " becomes " + c.got + " for " + join(c.services, ", "));
  r.level = Level::warn;
  r.reason = cpus + "; CPU sets cut to fit: " + join(parts, "; ");
  r.advice = "the services share fewer CPUs than planned; " + std::to_string(enough) +
             " or more CPUs run every set as written";
  return r;
}

CheckResult check_memory(std::int64_t mem_total) {
  CheckResult r{"memory", Level::pass, "", ""};
  const std::string have = size_text(static_cast<std::uint64_t>(std::max<std::int64_t>(0, mem_total)));
  // Two search nodes with 512 MiB heaps take about 1 GiB each with the JVM's
  // own memory; the stream broker starts with a 1 GiB heap by default; the
  // seven application roles, coordinator and two caches need the rest.
  if (mem_total < kMemoryFailBelow) {
    r.level = Level::fail;
    r.reason = have + " of memory: under 2 GiB the two search nodes (512 MiB heap each, about "
                      "1 GiB each in all) and the stream broker (1 GiB heap) cannot all run";
    r.advice = "give the engine's machine at least 4 GiB";
  } else if (mem_total < kMemoryWarnBelow) {
    r.level = Level::warn;
    r.reason = have + " of memory: the search nodes and the stream broker take about 3 GiB, "
                      "leaving little for the application roles";
    r.advice = "4 GiB or more is advised; expect swapping or containers killed for memory";
  } else {
    r.reason = have + " of memory (4 GiB or more advised: the search nodes and the stream "
                      "broker take about 3 GiB)";
  }
  return r;
}

CheckResult check_disk(const std::string& root, const std::optional<DiskSpace>& space) {
  CheckResult r{"disk", Level::pass, "", ""};
  if (!space) {
    r.level = Level::warn;
    r.reason = "cannot see the engine's data root " + (root.empty() ? "(not reported)" : root) +
               " from here (an engine on another machine?)";
    r.advice = "check free space there yourself: 10 GiB or more is advised";
    return r;
  }
  const std::string free = size_text(space->available) + " free of " + size_text(space->total) +
                           " under " + root;
  const auto available = static_cast<std::int64_t>(space->available);
  if (available < kDiskFailBelow) {
    r.level = Level::fail;
    r.reason = free + ": the images alone unpack to about 3 GiB";
    r.advice = "free space on that file system (docker system df shows what the engine holds)";
  } else if (available < kDiskWarnBelow) {
    r.level = Level::warn;
    r.reason = free + ": enough for the images, little for search, stream and cache data";
    r.advice = "10 GiB or more is advised; the data volumes grow with use";
  } else {
    r.reason = free;
  }
  return r;
}

CheckResult check_max_map_count(long value) {
  CheckResult r{"vm.max_map_count", Level::pass, "", ""};
  const std::string need = std::to_string(installer::kMaxMapCountThreshold);
  if (value <= 0) {
    r.level = Level::warn;
    r.reason = "cannot read vm.max_map_count (sysctl failed)";
    r.advice = "the search nodes need " + need + " or more; install tries to raise it";
  } else if (value < installer::kMaxMapCountThreshold) {
    r.level = Level::warn;
    r.reason = std::to_string(value) + ", below the " + need + " the search nodes need";
    r.advice = "bootstrap install (or bootstrap configure alone) raises it and keeps it";
  } else {
    r.reason = std::to_string(value) + " (" + need + " or more needed)";
  }
  return r;
}

CheckResult check_memlock(const MemlockLimit& limit) {
  CheckResult r{"memlock", Level::pass, "", ""};
  if (limit.unlimited) {
    r.reason = "locked memory is not limited; the search nodes can have memlock -1";
    return r;
  }
  const std::string cap = size_text(limit.hard_bytes) + " (" + std::to_string(limit.hard_bytes) +
                          " bytes)";
  if (limit.can_raise) {
    r.reason = "hard limit " + cap + ", but this process holds CAP_SYS_RESOURCE, so an engine "
               "started like it can give containers memlock -1";
    return r;
  }
  r.level = Level::warn;
  r.reason = "hard limit " + cap + " and no CAP_SYS_RESOURCE to raise it; an engine started "
             "the same way cannot give the search nodes the memlock -1 they ask for";
  r.advice = "if es1/es2 fail to start (setrlimit: operation not permitted), run the engine "
             "with LimitMEMLOCK=infinity and CAP_SYS_RESOURCE, or a runtime that lowers the request";
  return r;
}

CheckResult check_podman_limits(const MemlockLimit& limit) {
  CheckResult r{"podman limits", Level::pass, "", ""};
  // Podman's own values (open files 1048576) lie above most hosts' hard
  // limits, whatever the memlock limit is.
  if (limit.can_raise) {
    r.reason = "Podman adds open-files and process limits to containers with a ulimit; an "
               "engine started like this process can set them";
    return r;
  }
  r.level = Level::warn;
  r.reason = "Podman adds open-files and process limits to every container with a ulimit "
             "(the search nodes have one), and without CAP_SYS_RESOURCE they cannot be raised";
  r.advice = "if es1/es2 fail to start (setrlimit: operation not permitted), run Podman with "
             "CAP_SYS_RESOURCE, or a runtime that lowers the limits to the host's hard ones";
  return r;
}

CheckResult check_port(int port, const std::string& container, const PortProbe& probe,
                       std::optional<bool> holder_is_ours, bool engine_answers) {
  CheckResult r{"port " + std::to_string(port), Level::pass, "", ""};
  const std::string p = std::to_string(port);
  switch (probe.state) {
    case PortProbe::State::free:
      r.reason = "free for " + container;
      break;
    case PortProbe::State::unknown:
      r.level = Level::warn;
      r.reason = "could not test it: " + probe.detail;
      r.advice = container + " publishes it; make sure nothing else listens on " + p;
      break;
    case PortProbe::State::in_use:
      if (holder_is_ours.value_or(false)) {
        r.reason = "held by " + container;
      } else if (!holder_is_ours && !engine_answers) {
        // The engine check has failed already; the holder may be ours.
        r.level = Level::warn;
        r.reason = "in use; whether " + container + " holds it is unknown without the engine";
        r.advice = "run preflight again once the engine check passes";
      } else {
        r.level = Level::fail;
        r.reason = holder_is_ours ? "in use by another program; " + container + " needs it"
                                  : "in use, and the engine could not be asked whether " +
                                        container + " holds it; " + container + " needs it";
        r.advice = "stop what listens there (ss -ltnp 'sport = :" + p + "' names it)";
      }
      break;
  }
  return r;
}

CheckResult check_images(docker::Client& client, const installer::ServiceList& services) {
  CheckResult r{"images", Level::pass, "", ""};
  std::vector<std::string> images;
  for (const installer::ServiceDescription& s : services)
    if (std::find(images.begin(), images.end(), s.image) == images.end()) images.push_back(s.image);
  std::vector<std::string> missing;
  for (const std::string& image : images) {
    try {
      client.get_image(image);
    } catch (const docker::ImageNotFound&) {
      missing.push_back(image);
    }
  }
  if (missing.empty()) {
    r.reason = "all " + std::to_string(images.size()) + " images present";
  } else {
    r.level = Level::warn;
    r.reason = std::to_string(missing.size()) + " of " + std::to_string(images.size()) +
               " images missing: " + join(missing, ", ");
    r.advice = "install pulls them: the engine needs to reach its registry";
  }
  return r;
}

// --- Gathering ----------------------------------------------------------------

std::vector<CheckResult> run_preflight(PreflightFacts& facts, const std::string& application,
                                       const installer::ServiceList& services) {
  std::vector<CheckResult> results;
  results.push_back(check_engine(facts.engine));
  const bool engine_ok = results.back().level != Level::fail;

  // An engine that stops answering part way fails the check that asked.
  auto ask = [&](const std::string& name, const std::function<CheckResult()>& check) {
    if (!engine_ok) {
      results.push_back(not_checked(name));
      return;
    }
    try {
      results.push_back(check());
    } catch (const docker::EngineError& e) {
      results.push_back({name, Level::fail, std::string("the engine failed: ") + e.what(),
                         "check the engine (docker info) and run preflight again"});
    }
  };

  std::optional<docker::EngineInfo> info;
  auto engine_info = [&]() -> const docker::EngineInfo& {
    if (!info) info = facts.engine.info();
    return *info;
  };
  ask("cpus", [&] { return check_cpus(engine_info().ncpu, services); });
  ask("memory", [&] { return check_memory(engine_info().mem_total); });
  ask("disk", [&] {
    const std::string root = engine_info().docker_root_dir;
    std::optional<DiskSpace> space;
    if (facts.engine_is_local && !root.empty()) space = facts.probes.disk_space(root);
    return check_disk(root, space);
  });
  results.push_back(
      check_max_map_count(installer::KestroInstaller::get_max_mep_count(facts.host)));
  const MemlockLimit memlock = facts.probes.memlock_limit();
  results.push_back(check_memlock(memlock));
  if (engine_ok) {
    bool podman = false;
    try {
      podman = facts.engine.version().podman;
    } catch (const docker::EngineError&) {
      // The engine check has just read the same document; a failure now
      // leaves Podman's own limits unchecked rather than failing a check.
    }
    if (podman) results.push_back(check_podman_limits(memlock));
  }

  const installer::Layout layout(application, services);
  for (const installer::ServiceDescription& s : services) {
    if (!s.ports) continue;
    const std::string container = layout.container(s.name);
    for (const auto& [container_port, host_port] : *s.ports) {
      int port = 0;
      auto [end, ec] = std::from_chars(host_port.data(), host_port.data() + host_port.size(), port);
      if (ec != std::errc() || end != host_port.data() + host_port.size()) {
        results.push_back({"port " + host_port, Level::fail,
                           "\"" + host_port + "\" is not a port number", "fix the service list"});
        continue;
      }
      PortProbe probe = facts.probes.probe_port(port);
      std::optional<bool> ours;
      if (probe.state == PortProbe::State::in_use && engine_ok) {
        try {
          ours = publishes(facts.engine, container, container_port, port);
        } catch (const docker::EngineError&) {
          // Reported as "could not be asked" below.
        }
      }
      results.push_back(check_port(port, container, probe, ours, engine_ok));
    }
  }

  ask("images", [&] { return check_images(facts.engine, services); });
  return results;
}

bool any_failed(const std::vector<CheckResult>& results) {
  return std::any_of(results.begin(), results.end(),
                     [](const CheckResult& r) { return r.level == Level::fail; });
}

}  // namespace bootstrap::survey
