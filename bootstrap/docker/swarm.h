// What the engine's swarm mode is asked and told: the node's own swarm state,
// the swarm's nodes, services and their tasks.
//
// These are the typed halves of the engine's swarm documents; the client
// (client.h) turns them into the engine's JSON and back. Only what this
// system sets or reads is modelled: a service spec holds exactly what the
// installer defines, so a spec read back from the engine compares with one
// worked out from the catalogue.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"

namespace bootstrap::docker {

// The engine's own part in a swarm (GET /info, "Swarm").
struct SwarmState {
  std::string node_id;      // empty outside a swarm
  std::string local_state;  // "inactive", "pending", "active", "error", "locked"
  bool manager = false;     // ControlAvailable: this engine can change the swarm
  std::string error;        // the engine's complaint, when in state "error"
};

// One node of the swarm. `version` must accompany every change of it.
struct SwarmNode {
  std::string id;
  std::uint64_t version = 0;
  std::string hostname;      // Description.Hostname: its name in `docker node ls`
  std::string name;          // Spec.Name, usually empty
  std::string role;          // "manager" or "worker"
  std::string availability;  // "active", "pause", "drain"
  std::string state;         // Status.State: "ready", "down", ...
  std::string address;       // Status.Addr
  std::map<std::string, std::string> labels;  // Spec.Labels
};

struct ServiceMount {
  std::string type;  // "volume" or "bind"
  std::string source;
  std::string target;
  bool read_only = false;
  bool operator==(const ServiceMount&) const = default;
};

// An overlay network a service's tasks join, and the names they answer to.
struct ServiceNetwork {
  std::string target;  // network name (or id, as the engine reports it back)
  std::vector<std::string> aliases;
  bool operator==(const ServiceNetwork&) const = default;
};

struct ServicePort {
  int target = 0;           // the container's port
  int published = 0;        // the node's port
  std::string protocol = "tcp";
  std::string mode;         // "host": on the task's node only; "ingress": the routing mesh
  bool operator==(const ServicePort&) const = default;
};

// A replicated service as this system defines it.
struct ServiceSpec {
  std::string name;
  std::map<std::string, std::string> labels;  // the service's own
  std::string image;
  std::optional<std::vector<std::string>> args;  // the image's entry point gets these
  std::vector<std::string> env;                  // "K=V", in order; may hold templates
  std::vector<ServiceMount> mounts;
  std::vector<Ulimit> ulimits;
  std::vector<ServiceNetwork> networks;
  std::string restart_condition = "any";  // "any", "on-failure", "none"
  std::int64_t nano_cpus = 0;             // CPU limit in billionths of a CPU; 0: none
  std::vector<std::string> constraints;   // "node.labels.x==true"
  std::uint64_t replicas = 1;
  std::string update_order = "stop-first";  // or "start-first"
  std::string endpoint_mode = "vip";        // or "dnsrr"
  std::vector<ServicePort> ports;
  std::uint64_t force_update = 0;  // raising it restarts every task
  bool operator==(const ServiceSpec&) const = default;
};

// A service as the engine holds it. `version` must accompany every change.
struct ServiceRef {
  std::string id;
  std::uint64_t version = 0;
  ServiceSpec spec;
  // The last rolling update: "updating", "paused", "completed", "rollback_..."
  // (empty when there has been none), and the engine's word on it.
  std::string update_state{};
  std::string update_message{};
};

// One task (one replica's container, or an attempt at one) of a service.
struct TaskRef {
  std::string id;
  std::string service_id;
  std::string node_id;  // empty while not yet scheduled
  int slot = 0;
  std::string desired_state;  // "running", "shutdown", ...
  std::string state;          // "new", "pending", "running", "failed", "rejected", ...
  std::string message;        // the engine's word on the state ("started", "no suitable node")
  std::string error;          // why it failed, when it did
  int exit_code = 0;
  std::int64_t updated_at = 0;  // unix seconds of the last state change
};

}  // namespace bootstrap::docker
