// LumadexInstaller: the product's operations for the command line.
//
// The product is the fixed catalogue of thirteen services below. Each
// operation except configure() makes its own deployment engine object for the
// application "lumadex" over the catalogue (install: a working copy whose
// application entries may carry a version tag), drives it, and drops it. The
// object holds no state between operations; the engine and the host do.
//
// Errors from the engine object reach the caller unchanged, with what was
// done before them left done.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bootstrap/docker/client.h"
#include "bootstrap/host/host.h"
#include "bootstrap/host/registry_credentials.h"
#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/rollback.h"
#include "bootstrap/installer/service.h"
#include "bootstrap/installer/settle.h"
#include "bootstrap/installer/swarm_deployment.h"

namespace bootstrap::installer::lumadex {

class LumadexInstaller {
 public:
  // The product's application image, without tag.
  static const std::string main_service;
  static const std::string time_zone;
  // The thirteen services in installation order.
  static const ServiceList lumadex_services;
  // The application name that prefixes every engine object.
  static const std::string application_name;
  // The volumes uninstall removes, in order. The search nodes' and the
  // cache's data volumes are never removed.
  static const std::vector<std::string> removed_volumes;

  // What an operation talks to: the host, and a maker of engine clients.
  struct Environment {
    host::Host& host;
    std::function<std::shared_ptr<docker::Client>()> make_client;
    // Called with each pull's progress lines (a terminal display); optional.
    docker::PullProgress pull_progress;
    // How install, update and scale watch what they started; off unless set.
    SettleOptions settle{};
    // Whether the engine is looked for at Docker's default socket: only then
    // may install put Docker on the host.
    bool default_socket = true;
    // Whether make_client's clients only describe changes (a dry run).
    bool dry_run = false;
    // In a dry run, where each change described is counted: the clients and
    // the describing host count theirs, and a printed plan its actions.
    std::shared_ptr<std::atomic<int>> described{};
    // How many engine requests of one phase install, update, uninstall and
    // scale keep in flight at once (KestroInstaller::set_jobs), 1 to 16. A
    // dry run sends one at a time whatever this says, so that its lines
    // keep their order.
    int jobs = 1;
    // Whether install (of another version over an installed product) and
    // both updates bring back the image that ran before when the new one
    // does not settle.
    bool rollback = true;
    // The registry the images come from (canonical_registry, registry.h;
    // "" for the public names), as the operator named it; unset: the one the
    // installation came from (registry_in_use).
    std::optional<std::string> registry{};
    // Credentials for that registry given for this operation; unset: as the
    // Docker client keeps them (registry_credentials.h).
    std::optional<host::RegistryCredentials> credentials{};
    // The Docker client's configuration file (host::docker_config_path) and
    // the caller's PATH, where those credentials are looked for; "": none.
    std::string docker_config{};
    std::string search_path{};
  };

  // Images that come from a file instead of a registry (a bundle): every
  // image it holds, "repository:tag", and how to put them into the engine.
  struct ImageLoad {
    std::vector<std::string> references;
    std::function<void(docker::Client&)> load;
  };

  explicit LumadexInstaller(Environment environment);

  // Installs the product: on a host where no engine answers and Docker is
  // missing (host::docker_install_needed), installs Docker and waits for the
  // engine to answer; then brings the catalogue up, the application
  // entries on lmdx2/app:<version> when a version is given, recreating the
  // containers whose definition changed (with `update`, the images are
  // fetched first, as update() does). Returns whether
  // the bring-up completed (a failed one has been reported on the console).
  // With `images`, they are loaded first (KestroInstaller::load_images) and
  // nothing is pulled; on a host without an engine that then stops, before
  // anything changes, with std::runtime_error saying Docker must be
  // installed first.
  // Over an installed product running another application image, the
  // image it ran is kept until the new one settles and brought back when it
  // does not (RolledBack), unless the environment says not to.
  // Throws what compose_up throws, std::runtime_error when a freshly
  // installed engine does not answer in time, and std::runtime_error
  // "nothing was changed: ..." when the product runs as swarm services on
  // this engine.
  bool install(std::optional<std::string> version = std::nullopt, bool update = false,
               const ImageLoad* images = nullptr);

  // Fetches the images first (a fresh "latest", the others when missing),
  // then uninstalls and installs again, and then removes the application
  // image the fetch replaced. Returns whether the bring-up completed. Throws
  // std::runtime_error "nothing was changed: ..." when a fetch fails, before
  // anything is taken down. With `images` the fetch is a load of them
  // (nothing is pulled), and `version` tags the application image as for
  // install. Refuses as refuse_on_swarm() does first (update_on_swarm()
  // updates swarm services). The images that ran before are kept until the
  // new ones settle; when they do not, the containers on the new images are
  // recreated on the old ones (the reset volumes stay reset) and RolledBack
  // is thrown, unless the environment says not to roll back.
  bool update(const ImageLoad* images = nullptr, std::optional<std::string> version = std::nullopt);

  // Fetches the images first (or loads `images`), as update() does, then
  // recreates only the containers whose definition changed or whose image
  // moved, each replacement created before the container it replaces stops
  // (plan_update_in_place, apply_plan); every other container keeps running
  // and every volume stays. Prints "lumadex is up to date" when nothing is
  // to change; a dry run prints the plan. Then watches what it started; when
  // that fails and an image moved, rolls back (unless the environment says
  // not to) and throws RolledBack. Throws std::runtime_error "nothing was
  // changed: ..." when the fetch fails, SettleFailure when the watch fails
  // with nothing to roll back to, and engine errors.
  void update_in_place(const ImageLoad* images = nullptr,
                       std::optional<std::string> version = std::nullopt);

  // Throws std::runtime_error "nothing was changed: ..." when the product
  // runs as swarm services on this engine, naming the bundle as the reason
  // when `bundle` is true.
  void refuse_on_swarm(bool bundle);

  // Fetches every image the catalogue names, the application image at
  // `version` (else its latest), as update() does, and changes nothing else.
  // Returns each distinct image as "repository:tag", in catalogue order.
  // Throws std::runtime_error "nothing was changed: ..." when a fetch fails.
  std::vector<std::string> fetch_images(const std::optional<std::string>& version);

  // Each distinct image the catalogue names, "repository:tag" in catalogue
  // order, the application image at `version` (else its latest), from
  // `registry` (registry_reference, registry.h).
  static std::vector<std::string> image_references(const std::optional<std::string>& version,
                                                   const std::string& registry = "");

  // Takes every container and network of the product down and removes the
  // removed_volumes; missing volumes are reported and skipped.
  void uninstall();

  // Sets the number of containers of one service (its own included), then
  // watches the workers it started. Throws SettleFailure when one of them did
  // not settle.
  void scale(const std::string& service_name, int n_worker);

  // Examines and, where too low, raises the kernel's vm.max_map_count.
  // Contacts no engine. Throws std::runtime_error naming the refused command
  // when the value could not be raised, and host::HostError when the
  // settings file cannot be used.
  void configure();

  // Why the last install or update did not complete (the engine's error
  // text, as the console showed it), or empty when it did.
  const std::string& failure_reason() const { return failure_reason_; }

  // Whether `name` is the "name" of a catalogue entry.
  static bool is_service(const std::string& name);

  // The registry the images come from: the environment's, else the one the
  // product's containers or swarm services carry (kRegistryLabel), else ""
  // (the public names). Throws engine errors.
  std::string registry_in_use();

  // Logs `client` in to the registry `registry` names (nothing for "") with
  // the environment's credentials or those the Docker client keeps, saying
  // "credentials from SOURCE for HOST" and never the secret. Throws
  // installer::RegistryLoginNeeded when the registry refuses them, and
  // host::HostError when they cannot be read.
  void log_in(docker::Client& client, const std::string& registry);

  // --- On a swarm (swarm_deployment.h) --------------------------------------
  // Each says "installing lumadex on the swarm" or the like, drives a
  // SwarmDeployment of the catalogue, and watches what it changed as the
  // environment's settle options say. Each throws SwarmRefusal before any
  // change on an engine that is not a swarm manager, SettleFailure when a
  // service did not come up, and engine errors.

  // Whether the engine manages a swarm that runs the product.
  bool on_swarm();
  // The catalogue as swarm services, the application entries on
  // lmdx2/app:<version> when a version is given.
  void install_on_swarm(std::optional<std::string> version, const SwarmOptions& options);
  // A rolling update to the images the registry has now.
  void update_on_swarm(std::optional<std::string> version = std::nullopt);
  void scale_on_swarm(const std::string& service_name, int replicas);
  // Services, overlay networks and placement labels go; volumes stay.
  void uninstall_on_swarm();

 private:
  // One line on the host's console.
  void say(const std::string& line) const { environment_.host.console.say(line); }
  std::unique_ptr<KestroInstaller> make_deployment(const ServiceList& services);
  // The catalogue with the application image at `version` and every image
  // from `registry`.
  static ServiceList with_version(const std::optional<std::string>& version,
                                  const std::string& registry = "");
  // For a deployment from `registry` (nothing for ""): labels its
  // definitions, logs it in (KestroInstaller::login) and fetches every
  // image it lacks (with `renew` a latest one anew) before anything
  // changes. Throws installer::RegistryLoginNeeded when the registry asks
  // for a login or refuses one, std::runtime_error "nothing was changed:
  // ..." when a fetch fails otherwise.
  void from_registry(KestroInstaller& deployment, const std::string& registry, bool renew);
  // An update's fetch, before anything changes: loads `images` when given,
  // else fetches from `registry` (a "latest" anew). Throws as load_images,
  // fetch_images and from_registry do.
  void fetch_for_update(KestroInstaller& deployment, const ImageLoad* images,
                        const std::string& registry);
  std::optional<host::RegistryCredentials> credentials_for(const std::string& host);
  void wait_for_engine();
  void take_down(KestroInstaller& deployment);
  bool engine_answers();
  // The application image reference the installed product's containers were
  // created from, or nullopt when it is not installed.
  std::optional<std::string> running_application_image(docker::Client& client);
  // Says, before an update changes anything, which application image runs
  // and which one `services` moves it to ("lumadex runs lmdx2/app:2.3;
  // update moves it to lmdx2/app:latest").
  void announce_move(docker::Client& client, const ServiceList& services);
  // Watches `started`; when the watch fails and `keeper` holds an image
  // that moved (or `previous` differs from what runs), recreates on the
  // kept images what runs the new ones, watches again and throws
  // RolledBack ("<operation> failed: ...").
  void watch_or_roll_back(docker::Client& client, const std::vector<std::string>& started,
                          ImageKeeper& keeper, const ServiceList& previous,
                          const std::string& operation, const std::string& note);
  Layout layout_for(const ServiceList& services, std::shared_ptr<docker::Client> client);
  // Prints the line that ends a change ("lumadex is up: ..."), counting the
  // containers of `deployment`'s services on the engine; nothing in a dry run.
  void report_outcome(KestroInstaller& deployment, int created, int recreated, int removed,
                      int started = 0);
  // Prints the line that ends a change on the swarm, from the services' tasks
  // now; nothing in a dry run.
  void report_swarm_outcome(const ServiceList& services, int changed);
  // Seconds since this object was made: the command's own time.
  double elapsed() const;

  Environment environment_;
  std::string failure_reason_;
  std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
};

}  // namespace bootstrap::installer::lumadex
