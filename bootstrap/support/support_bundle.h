// The support bundle (`bootstrap support-bundle`): one compressed tar of what
// a support engineer needs to see of this host, its engine and the product,
// with secrets taken out before anything is written.
//
// gather_support_files() collects named members in memory: the program's version,
// host facts, the engine's version and info documents, the output of status
// and preflight, each product container's inspection and the last 1000 lines of its log
// ("out " or "err " and the engine's time before each line),
// the product's networks and volumes, and the operation log with its rotated
// files. It reads the engine (lists, inspections, logs) and never changes
// it, and never reads a volume's contents. A failure costs only its member:
// what could not be collected is listed in the member errors.txt, so a host
// whose engine is down still yields its host facts. redact_support_files() (in
// redaction.h) then replaces secrets in every member, and write_support_bundle()
// writes the members as a gzip-compressed tar (libarchive) under a temporary
// name that is renamed into place only once complete; make_support_bundle()
// does all three. The output of status and preflight comes rendered by the
// front end, through BundleSources.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/host/host.h"
#include "bootstrap/survey/preflight.h"
#include "bootstrap/support/redaction.h"

namespace bootstrap::support {

// Where gather_support_files() reads from.
struct BundleSources {
  // The engine the environment names; it may throw docker::ConfigError for
  // an unusable DOCKER_HOST, which leaves the engine's members out.
  std::function<std::unique_ptr<docker::Client>()> connect;
  host::Host& host;
  survey::HostProbes probes;
  // The operation log; its rotated files are this path with ".1" to ".3".
  std::filesystem::path operation_log;
  std::string version_line;
  // False when the engine is reached over TCP at another machine's address:
  // its data root is then not this machine's disk.
  bool engine_is_local = true;
  // The members "status.json" and "preflight.txt", made from the engine
  // once it answers; a throw costs only the member.
  std::function<std::string(docker::Client&)> status_json{};
  std::function<std::string(docker::Client&)> preflight_text{};
};

// Collects every member it can, in a fixed order, ending with errors.txt
// when something could not be collected (one line each: the member and why).
// Secrets are still in: redact before writing. Never throws for a failure to
// read the engine or the host.
std::vector<SupportFile> gather_support_files(BundleSources& sources);

// Writes `members` (each mode 0600) under the folder `top` as a
// gzip-compressed tar at `path`, through a temporary file beside it (mode
// 0600) renamed to `path` at the end.
// Throws std::runtime_error "write PATH: reason" when `path` exists or the
// archive cannot be written; a failed write leaves nothing behind.
void write_support_bundle(const std::vector<SupportFile>& members, const std::string& top,
                  const std::filesystem::path& path);

// "kestro-support-<host>-<UTC time as 20261208T210300Z>.tar.gz".
std::string default_bundle_name();

// Gathers from `sources`, redacts every member (adding redactions.txt, which
// lists what was replaced) and writes the bundle at `path`, its members
// under a folder named after the file. Returns how many items could not be
// collected (the lines of errors.txt). Throws as write_support_bundle() does.
std::size_t make_support_bundle(BundleSources& sources, const std::filesystem::path& path);

}  // namespace bootstrap::support
