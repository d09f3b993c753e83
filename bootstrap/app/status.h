// What the engine has of an application right now: `bootstrap status`.
//
// gather_status() reads the engine (lists and container inspections only; it
// changes nothing) and returns a ProductStatus: one row per service of the
// list, in list order, then the application's networks and named volumes in
// the order their services first name them, each present or missing. The
// renderers turn that into an aligned text table or one JSON document; they
// do no I/O, so the whole command is a gather and a render.
//
// Engine objects are named as the deployment engine names them
// (installer::Layout): the service "api" of "lumadex" runs as the container
// "lumadex-api", its workers as "lumadex-api_1", "lumadex-api_2"...
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/service.h"

namespace bootstrap::app {

class Context;

// One service as the engine has it.
struct ServiceStatus {
  std::string service;    // short name, "api"
  std::string container;  // "lumadex-api"
  // The engine's state ("running", "exited", "created", "paused",
  // "restarting", "dead"), "missing" when there is no such container, or
  // "crashing" when it runs again after a restart less than a minute ago.
  std::string state;
  std::string image;   // Config.Image: the reference the container was created from
  std::string cpuset;  // HostConfig.CpusetCpus; empty when unrestricted
  int restarts = 0;     // restarts the engine made under the restart policy
  std::int64_t uptime = -1;  // seconds since the last start while it runs; -1 otherwise
  int workers = 0;          // numbered workers "<container>_<n>" (Layout), any state
  int workers_running = 0;  // of those, how many run
  // The service's networks (engine names), and those of them the container
  // has not joined (all of them when the container is missing).
  std::vector<std::string> networks;
  std::vector<std::string> networks_missing;

  bool missing() const { return state == "missing"; }
  bool running() const { return state == "running"; }
  // The service's containers as `scale` counts them: its own and its workers.
  int containers() const { return (missing() ? 0 : 1) + workers; }
  int containers_running() const { return (running() ? 1 : 0) + workers_running; }
};

// A network or volume of the application.
struct ObjectStatus {
  std::string name;  // engine name, "lumadex-es-net"
  bool present = false;
};

struct ProductStatus {
  std::string application;
  std::vector<ServiceStatus> services;
  std::vector<ObjectStatus> networks;
  std::vector<ObjectStatus> volumes;

  // Whether every service's own container runs (workers are not counted).
  bool all_running() const;
  // The services whose container does not run, as "lumadex-api (exited)".
  std::vector<std::string> not_running() const;
};

// Reads the engine's view of `services` of `application`: one listing each of
// containers (stopped ones included), networks and volumes, and one
// inspection per service container found. A container that vanishes between
// the listing and its inspection counts as missing. Throws what the client
// throws for any other failure (docker::ConnectionError when the engine
// cannot be reached).
// Uptimes count up to `now` (unix seconds), the system clock's when unset.
ProductStatus gather_status(docker::Client& client, const std::string& application,
                            const installer::ServiceList& services,
                            std::optional<std::int64_t> now = std::nullopt);

// An aligned table of the services, then one of networks and volumes, each
// line ending in "\n". Missing values print as "-"; the networks column reads
// "4/4", or "3/4 missing lumadex-es-net" when some were not joined; uptimes
// read "45s", "12m", "3h", "2d".
std::string render_status_text(const ProductStatus& status);

// The same facts as one JSON document (an object with "application",
// "all_running", "services", "networks", "volumes"), ending in "\n".
std::string render_status_json(const ProductStatus& status);

// `bootstrap status [--json]`: the product's catalogue on the context's
// engine, printed on its output. Throws engine errors as gather_status does,
// and after printing, std::runtime_error listing the services whose
// container does not run.
void status_command(const Context& context, bool as_json);

}  // namespace bootstrap::app
