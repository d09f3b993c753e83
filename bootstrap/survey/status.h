// What the engine has of an application right now, as `bootstrap status`
// shows it.
//
// gather_status() reads the engine (lists and container inspections only; it
// changes nothing) and returns a ProductStatus: one row per service of the
// list, in list order, then the application's networks and named volumes in
// the order their services first name them, each present or missing.
//
// Engine objects are named as the deployment engine names them
// (installer::Layout): the service "api" of "lumadex" runs as the container
// "lumadex-api", its workers as "lumadex-api_1", "lumadex-api_2"...
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/service.h"

namespace bootstrap::survey {

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

}  // namespace bootstrap::survey
