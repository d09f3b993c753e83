// `bootstrap support-bundle`: one compressed tar of what a support engineer
// needs to see of this host, its engine and the product, with secrets taken
// out before anything is written.
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
// name that is renamed into place only once complete.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrap/support/redaction.h"
#include "bootstrap/docker/client.h"
#include "bootstrap/docker/config.h"
#include "bootstrap/host/host.h"
#include "bootstrap/inspect/preflight.h"

namespace bootstrap::app {

class Context;

using support::SupportFile;

// Where gather_support_files() reads from.
struct BundleSources {
  // The engine the environment names; it may throw docker::ConfigError for
  // an unusable DOCKER_HOST, which leaves the engine's members out.
  std::function<std::unique_ptr<docker::Client>()> connect;
  // That engine's configuration; unset when connect throws ConfigError.
  std::optional<docker::ClientConfig> engine_config;
  host::Host& host;
  inspect::HostProbes probes;
  // The operation log; its rotated files are this path with ".1" to ".3".
  std::filesystem::path operation_log;
  std::string version_line;
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

// `bootstrap support-bundle [-o FILE]`: gathers from the context's host and
// engine, redacts (adding redactions.txt) and writes the bundle to `output`
// (default_bundle_name() in the current folder when empty), then prints its
// path and size on the context's output. Throws as write_support_bundle()
// does.
void support_bundle_command(const std::string& output, Context& context);

}  // namespace bootstrap::app
