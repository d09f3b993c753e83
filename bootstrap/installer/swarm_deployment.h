// SwarmDeployment: an application as the services of a Docker swarm.
//
// Where KestroInstaller runs one container per service on one engine, this
// runs one replicated swarm service per catalogue entry, named as the
// container would be ("lumadex-api"), through the swarm manager's API. The
// definitions are the Layout's (image, argv, environment, mounts, restart
// policy, ulimits, published port, networks and aliases), translated:
//   - networks are overlay networks of the layout's names, attachable;
//   - a service that keeps data in a named volume (swarm_placement.h) is
//     pinned by a node label to one node, the manager by default, since its
//     volume exists only there; the others may run on any node;
//   - the service API has no CPU sets: each becomes a CPU limit of as many
//     CPUs as the set holds, said once per install;
//   - stateless services update start-first, stateful ones stop-first;
//   - a numbered worker's WNAME follows the task's slot through the engine's
//     templates ("worker" for slot 1, "worker_<slot>" for the others);
//   - without the routing mesh (the default: it needs IPVS in the kernel)
//     ports are published on the node that runs the task, and services are
//     found by DNS round robin rather than a virtual IP.
// Every service carries kApplicationLabel, by which the other commands know
// a swarm installation, and kDefinitionLabel, the digest of its service
// definition without the replica count, so that an install changes only what
// the catalogue changed.
//
// Messages are lines on `out`. Engine errors reach the caller with what was
// done before left done.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/docker/swarm.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/service.h"
#include "bootstrap/installer/settle.h"

namespace bootstrap::installer {

// The label every swarm service of an application carries; its value is the
// application's name.
inline constexpr const char* kApplicationLabel = "io.kestro.application";

// An operation refused before anything changed: the engine cannot run it,
// or the operator asked for something that cannot be.
class SwarmRefusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SwarmOptions {
  // Service short name -> the node (hostname, name or id) its data lives on;
  // a service that keeps data and is not named here goes to the manager.
  std::map<std::string, std::string> placements;
  // Publish through the routing mesh (every node answers; needs IPVS) and
  // give services virtual IPs, instead of host-mode ports and DNS round robin.
  bool routing_mesh = false;
};

// The swarm service of a catalogue entry, as the class comment above says,
// with kApplicationLabel and kDefinitionLabel set: what `install --swarm`
// sends and what the stack file of `export --swarm` writes. Throws
// std::invalid_argument for a malformed volume entry, CPU set or port.
docker::ServiceSpec swarm_service_spec(const Layout& layout, const ServiceDescription& service,
                                       const SwarmOptions& options);

class SwarmDeployment {
 public:
  // `services` is kept by reference and must outlive the object. Contacts no
  // engine until an operation runs.
  SwarmDeployment(std::string application, const ServiceList& services, docker::Client& client,
                  std::ostream& out);

  // Whether the engine manages a swarm that holds services of `application`.
  // An engine outside a swarm answers false after one request. Throws engine
  // errors.
  static bool installed(docker::Client& client, const std::string& application);

  // swarm_service_spec() of a catalogue entry, `cpu_count` resolving its CPU
  // set. Throws as that does.
  docker::ServiceSpec service_spec(const ServiceDescription& service, unsigned cpu_count,
                                   const SwarmOptions& options) const;

  // Brings every service up: refuses (SwarmRefusal, nothing changed) on an
  // engine that is not a swarm manager, naming `docker swarm init`, on one
  // that runs the application as plain containers, and for a placement
  // naming a service without data or a node the swarm lacks. Then creates
  // the missing overlay networks, sets the placement labels, creates the
  // missing services and updates those whose definition changed (keeping
  // their replica count).
  void install(const SwarmOptions& options);

  // Asks the registry for every image's current digest first (throwing
  // std::runtime_error "nothing was changed: ..." when it cannot), then
  // updates each service whose image or definition changed, a rolling
  // update in the service's order; the others are left alone.
  void update();

  // Sets a service's replica count. Throws SwarmRefusal when the
  // application has no such service on the swarm.
  void scale(const std::string& service, int replicas);

  // Removes every service of the application, then its overlay networks
  // (waiting up to a minute for the last tasks to leave them), then the
  // placement labels. Volumes stay on their nodes.
  void uninstall();

  // Watches the services the last operation created or changed, as
  // `options` say: every service must reach its replica count, all tasks
  // running; a service whose tasks fail twice, or that has not converged
  // when the wait timeout ends, is reported with its tasks' errors and the
  // nodes they ran on, and SettleFailure is thrown.
  void watch(const SettleOptions& options, Timer& timer = real_timer());

  // Set when the client only describes changes (a dry run): the lines
  // announcing each change are then left to it.
  bool describe_only = false;

  // Makes every service carry the registry its images come from
  // (kRegistryLabel, registry.h); with one, install() pins each image to
  // the digest the registry gives it, so that every node runs the same.
  void set_registry(const std::string& registry) { layout_.set_registry(registry); }

  // The services created, changed or removed by the last operation, engine
  // names.
  const std::vector<std::string>& changed() const { return changed_; }

 private:
  void doing(const std::string& line);
  void require_manager();
  // Creates the services of `specs` that are missing and updates those whose
  // definition label differs, keeping their replica counts; an install
  // (`updating` false) keeps an image an update pinned to its digest.
  void apply(std::vector<docker::ServiceSpec>& specs, bool updating);
  // Host-published services update stop-first on a swarm with fewer than two
  // usable nodes, saying so.
  void fit_update_order(std::vector<docker::ServiceSpec>& specs);
  // Pins each spec's image to the digest the registry gives it now. Throws
  // std::runtime_error "nothing was changed: ..." when it cannot ask.
  void pin_digests(std::vector<docker::ServiceSpec>& specs);
  SwarmOptions current_options();
  std::map<std::string, std::string> node_names();
  unsigned cpu_count();

  Layout layout_;
  docker::Client& client_;
  std::ostream& out_;
  std::vector<std::string> changed_;
  unsigned cpu_count_ = 0;
};

// What `bootstrap status` shows of a swarm installation: one row per
// catalogue service (replicas running of those desired, the image, the nodes
// its running tasks are on, the last task error), then the overlay networks.
struct SwarmServiceStatus {
  std::string service;  // "lumadex-api"
  bool present = false;
  std::uint64_t desired = 0;
  std::uint64_t running = 0;
  std::string image;
  std::vector<std::string> nodes;  // hostnames, one per running task
  std::string problem;             // the newest failed task's error, if any
};
struct SwarmStatus {
  std::vector<SwarmServiceStatus> services;
  std::vector<std::pair<std::string, bool>> networks;  // name, present
  bool all_running() const;
};
// Reads the swarm (services, their tasks, nodes, networks); changes nothing.
SwarmStatus gather_swarm_status(docker::Client& client, const std::string& application,
                                const ServiceList& services);

}  // namespace bootstrap::installer
