// Checks of a host before the product is installed, as `bootstrap preflight`
// runs them.
//
// Each check is a small function that turns facts into a CheckResult: a
// level (pass, warn, fail), one line saying what was found, and one saying
// what to do about it. None of them changes anything on the engine or the
// host: the engine is only asked questions, the port is tested by binding it
// for an instant and letting go.
//
// run_preflight() gathers the facts and runs every check; the front end
// renders the results. The facts that come from this machine rather than the
// engine (whether a port is free, the locked-memory limit, free disk space)
// are functions in HostProbes so tests can substitute them; real_probes()
// gives the real ones.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/host/host.h"
#include "bootstrap/installer/service.h"

namespace bootstrap::survey {

enum class Level { pass, warn, fail };

// "pass", "warn", "fail".
const char* level_name(Level level);

struct CheckResult {
  std::string name;    // "engine", "memlock", "port 5000", ...
  Level level = Level::pass;
  std::string reason;  // what was found, one line
  std::string advice;  // what to do, one line; may be empty for a pass
};

// --- Facts about this machine ----------------------------------------------

struct PortProbe {
  enum class State { free, in_use, unknown };
  State state = State::free;
  std::string detail;  // why the state is unknown (the system's error text)
};

// The hard RLIMIT_MEMLOCK of this process, and whether it may raise it.
struct MemlockLimit {
  bool unlimited = false;
  std::uint64_t hard_bytes = 0;  // meaningful when not unlimited
  bool can_raise = false;        // this process holds CAP_SYS_RESOURCE
};

struct DiskSpace {
  std::uint64_t available = 0;  // bytes an unprivileged writer may use
  std::uint64_t total = 0;
};

struct HostProbes {
  // Whether TCP `port` on all IPv4 addresses is free.
  std::function<PortProbe(int port)> probe_port;
  std::function<MemlockLimit()> memlock_limit;
  // Free space of the file system holding `path`; nullopt when the path
  // cannot be seen from here.
  std::function<std::optional<DiskSpace>(const std::string& path)> disk_space;
};

// Binds 0.0.0.0:port (SO_REUSEADDR, so connections in TIME_WAIT do not count)
// and closes the socket at once. Never throws.
PortProbe probe_tcp_port(int port);
// getrlimit(RLIMIT_MEMLOCK) and CAP_SYS_RESOURCE from /proc/self/status.
// Never throws.
MemlockLimit memlock_hard_limit();
// statvfs(path); nullopt when it fails. Never throws.
std::optional<DiskSpace> disk_space_at(const std::string& path);
// The three above.
HostProbes real_probes();

// --- The checks ---------------------------------------------------------------

// Thresholds, with the reasons the checks give.
inline constexpr std::int64_t kMiB = 1024LL * 1024;
inline constexpr std::int64_t kGiB = 1024 * kMiB;
inline constexpr std::int64_t kMemoryFailBelow = 2 * kGiB;
inline constexpr std::int64_t kMemoryWarnBelow = 4 * kGiB;
inline constexpr std::int64_t kDiskFailBelow = 3 * kGiB;
inline constexpr std::int64_t kDiskWarnBelow = 10 * kGiB;
inline constexpr const char* kMinEngineApi = "1.41";

// Asks the engine for the API version in use and its version document: pass
// when both the engine's newest API and the one in use are at least 1.41;
// fail when the engine does not answer, answers with an error, or is older.
CheckResult check_engine(docker::Client& client);

// The CPU set each service really gets on `ncpu` CPUs (resolve_cpuset): warn
// naming the services whose set is cut to fit, pass when none is.
CheckResult check_cpus(int ncpu, const installer::ServiceList& services);

// Memory the engine's machine has, in bytes: fail under 2 GiB, warn under
// 4 GiB.
CheckResult check_memory(std::int64_t mem_total);

// Free space under the engine's data root: fail under 3 GiB, warn under
// 10 GiB; warn when `space` is nullopt (the engine is on another machine, or
// its root is not visible here).
CheckResult check_disk(const std::string& root, const std::optional<DiskSpace>& space);

// vm.max_map_count as get_max_mep_count reads it (0: unreadable): warn when
// below kMaxMapCountThreshold, since install raises it.
CheckResult check_max_map_count(long value);

// Whether containers can be given memlock -1: pass when the hard limit is
// unlimited or this process may raise it; warn otherwise, with the limit.
CheckResult check_memlock(const MemlockLimit& limit);

// For a Podman engine, which gives every container that has any ulimit
// open-files and process limits of its own too: pass when this process may
// raise limits (CAP_SYS_RESOURCE), warn otherwise.
CheckResult check_podman_limits(const MemlockLimit& limit);

// Host `port`, which `container` publishes. `holder_is_ours` says whether
// `container` runs now with that port published (nullopt: could not ask the
// engine); held by it passes. In use by anything else fails, and so does an
// unknown holder while the engine answers; without the engine it warns.
CheckResult check_port(int port, const std::string& container, const PortProbe& probe,
                       std::optional<bool> holder_is_ours, bool engine_answers = true);

// Looks up each distinct image of `services` on the engine: pass when all are
// present, warn naming the missing ones (install pulls them).
CheckResult check_images(docker::Client& client, const installer::ServiceList& services);

// --- Gathering ----------------------------------------------------------------

struct PreflightFacts {
  docker::Client& engine;
  host::Host& host;
  HostProbes probes;
  // False when the engine is reached over TCP at another machine's address:
  // its data root is then not this machine's disk.
  bool engine_is_local = true;
};

// Runs every check for `services` of `application`, in the order: engine,
// cpus, memory, disk, vm.max_map_count, memlock, podman limits (on Podman
// only), one per published port, images. The engine check names the engine
// (Docker or Podman) from its version document. When the engine check fails, the checks that need the engine are
// reported as warnings "not checked". Engine errors become failed checks;
// never throws for them.
std::vector<CheckResult> run_preflight(PreflightFacts& facts, const std::string& application,
                                       const installer::ServiceList& services);

// Whether any check failed.
bool any_failed(const std::vector<CheckResult>& results);

}  // namespace bootstrap::survey
