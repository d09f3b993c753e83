// KestroInstaller: the generic container deployment engine.
//
// One object stands for one application on one Docker engine. It is built
// from an application name and a service list (service.h); construction
// connects to the engine and takes one snapshot of its networks, volumes and
// containers (stopped ones included) into three insertion-ordered maps keyed by
// the engine's names. From then on the object never re-reads the engine: it
// keeps the maps current through its own creations and removals, and judges
// whether something exists only from them.
//
// Every name and container definition comes from the application's Layout
// (layout.h): engine objects are named application_name "-" short name, and
// the containers join their networks under the service's short name as alias.
// Messages are single lines on the host's console. Errors are exceptions that
// reach the caller, except where an operation says it reports and returns;
// nothing is rolled back.
//
// Host preparation (Docker presence and installation, the kernel's
// vm.max_map_count) needs no object: those operations are static, and each has
// an overload that takes the host facilities explicitly for tests.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/host/host.h"
#include "bootstrap/host/map_count.h"
#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/ordered_map.h"
#include "bootstrap/installer/phase.h"
#include "bootstrap/installer/service.h"

namespace bootstrap::installer {

// The kernel setting the search nodes need, and the value raised to.
using host::kMaxMapCountThreshold;

class KestroInstaller {
 public:
  // Takes the snapshot through `client`, working on `host`. `services` is
  // kept by reference and must outlive the object. Throws
  // docker::ConnectionError when the engine cannot be reached,
  // docker::ApiError when a listing fails.
  KestroInstaller(std::string application_name, const ServiceList& services,
                  std::shared_ptr<docker::Client> client, host::Host& host);

  KestroInstaller(const KestroInstaller&) = delete;
  KestroInstaller& operator=(const KestroInstaller&) = delete;

  // --- Host preparation (static) -----------------------------------------

  // Raises vm.max_map_count to 262144 for the running system when it is lower
  // and makes it persistent in the settings file unless the file's last line
  // setting it already gives 262144 or more. Does nothing on a host that is not Linux.
  // Returns why the value in force could not be raised, or "" (see
  // host::check_vm_max_map_count). Throws host::HostError when the settings
  // file cannot be read or written.
  static std::string check_vm_max_map_count();
  static std::string check_vm_max_map_count(host::Host& host);

  // The value of vm.max_map_count in force, or 0 when it cannot be read.
  // Never throws.
  static long get_max_mep_count();
  static long get_max_mep_count(host::Host& host);

  // Whether `docker --version` answers with its banner ("Docker version ...").
  // Never throws.
  static bool is_docker_istalled();
  static bool is_docker_istalled(host::Host& host);

  // Installs the Docker engine, CLI, containerd and docker-compose through apt
  // from Docker's Ubuntu repository. Throws std::runtime_error
  // "cannot install docker for <platform> platform" on a host that is not
  // Linux (running nothing), and host::HostError naming the first command
  // that fails (running none after it).
  static void install_docker();
  static void install_docker(host::Host& host);

  // --- Deployment ----------------------------------------------------------

  // How many engine requests of one phase may be in flight at once: the
  // starts of compose_up, the stops and then the removals of compose_down,
  // the workers scale_service takes away or adds (each created and started).
  // 1, the default, sends them one after another. With more, requests are
  // still issued in order and lines still print in order; when one fails no
  // further one is issued, those in flight finish, and every failure is
  // reported (PhaseFailures when there are several). Throws
  // std::invalid_argument unless 1 <= jobs <= kMaxJobs (16).
  void set_jobs(int jobs);
  int jobs() const { return jobs_; }

  // Sets the number of containers of one service to n_worker, counting the
  // service's own container: workers numbered n_worker and above are stopped
  // and removed, missing workers 1..n_worker-1 are created and started with
  // WNAME "<service>_<n>" and restart policy "no"; when nothing is to change
  // it says "<service> already runs N containers". Throws
  // std::invalid_argument before anything changes when scale_refusal refuses
  // or a container with the worker prefix has no number after its last "_".
  // Engine errors reach the caller, after the workers this call created are
  // removed again (unless Ctrl-C stopped the client).
  void scale_service(const std::string& service_name, int n_worker);

  // Creates (does not start) the container `container_name` for `service`
  // and joins it to the service's networks under the service's name as
  // alias. A container of that name that no longer matches its definition
  // (its definition label differs, or, without the label, its image) is
  // stopped and removed first, saying "recreating container NAME: its
  // definition changed"; a matching one is left alone. Throws
  // std::invalid_argument for a malformed volume entry and std::out_of_range
  // for a network missing from `networks`; engine errors reach the caller.
  void prepare_container(const ServiceDescription& service, const std::string& container_name);

  // Makes sure the engine has the service's image (pulling it when missing,
  // refreshing a "latest" image when `update`, at most once per repository in
  // this object's life), prepares its container, and recreates those of its
  // workers that no longer match their definition, keeping their numbers
  // (compose_up starts again the ones that ran). Engine errors reach the caller.
  void install_service(const ServiceDescription& service, bool update);

  // Fetches every image the services run before anything else changes: a
  // "latest" image anew (remembering the id its tag named before, for
  // remove_replaced_images), any other only when the engine lacks it, each
  // repository once in this object's life. Throws std::runtime_error
  // "nothing was changed: <the engine's error>" when a fetch fails.
  void fetch_images();

  // Takes the images from elsewhere than a registry (a bundle), in place of
  // fetch_images and before anything else changes: calls `load` once, which
  // puts every image of `references` ("repository:tag") into the engine.
  // From then on this object pulls none of those repositories, and a
  // "latest" image the load replaced is removed by remove_replaced_images.
  // Throws std::runtime_error "nothing was changed: ..." when the load fails.
  void load_images(const std::vector<std::string>& references,
                   const std::function<void(docker::Client&)>& load);

  // Removes the images fetch_images replaced ("removing existing latest image
  // REPO"), now that no new container runs them. An image the engine still
  // finds in use stays, said in one line. Other engine errors reach the caller.
  void remove_replaced_images();

  // Of two or more engine networks named as one of the layout's, removes
  // those no container has joined (printing "removing duplicate network NAME
  // (id ...)" for each) and keeps the one in use, or else the one the
  // snapshot maps the name to. Throws std::runtime_error, before removing
  // anything, when containers use more than one network of a name; engine
  // errors reach the caller.
  void remove_duplicate_networks();

  // Logs the client in to registry_server with user_name and password
  // (user name "<token>": the password is an identity token). Never throws:
  // a missing user name, a refused login or an unreachable engine leave
  // is_logged_in false, silently, and login_refused says whether the
  // registry refused the credentials.
  void login();

  // Fetches the images the services run that the engine lacks (with
  // `renew`, a "latest" one anew), each repository once in this object's
  // life, before anything else changes. Engine errors reach the caller as
  // they are.
  void fetch_images(bool renew);

  // Makes every definition carry the registry its images come from
  // (kRegistryLabel, registry.h); "" for none.
  void set_registry(const std::string& registry) { layout_.set_registry(registry); }

  // Brings the whole service list up on the engine the snapshot came from:
  // with `update` fetches every image first (fetch_images, which may throw),
  // checks the kernel setting, removes duplicate networks (see
  // remove_duplicate_networks), creates missing networks and volumes, installs
  // every service, then starts every container in list order (and the
  // recreated workers that ran), and with `update` removes the replaced
  // images. An engine API
  // error in the deployment steps is reported ("unauthorized access!" for 401,
  // else its text and "unknown error, please try again!") and ends the
  // bring-up without throwing; several refusals of one phase are each
  // reported, and failure_reason lists them all. The result says whether
  // it completed. Other
  // errors (host preparation, malformed descriptions, an unreachable engine)
  // reach the caller.
  bool compose_up(std::optional<std::string> user_name, std::optional<std::string> password,
                  bool update);

  // Why the last compose_up did not complete (the engine's error text), or
  // empty when it did or has not run.
  std::string failure_reason;

  // Removes one volume by its engine name (and from `volumes`). A volume the engine does not know
  // is reported with the engine's text and counts as done; other engine
  // errors reach the caller.
  void remove_volume(const std::string& volume);

  // Stops every container of the listed services (workers included), then
  // removes them, then removes the services' networks; volumes stay. Engine
  // errors reach the caller with what was done so far left done.
  void compose_down();

  // --- State ---------------------------------------------------------------

  std::string application_name;
  const ServiceList& services;
  bool is_logged_in = false;
  std::shared_ptr<docker::Client> client;
  OrderedMap<docker::NetworkRef> networks;
  OrderedMap<docker::VolumeRef> volumes;
  OrderedMap<docker::ContainerRef> containers;
  std::set<std::string> renewed_images;
  // Repository -> the image id its "latest" tag named before fetch_images
  // fetched a different one.
  std::vector<std::pair<std::string, std::string>> replaced_images;
  // Set while something may still have to roll back to those images:
  // compose_up then leaves them for the caller's remove_replaced_images.
  bool keep_replaced_images = false;
  // Containers this object started, in order: what a settle watch looks at.
  std::vector<std::string> started;
  // What this object's operations did, by name, for the line that ends a
  // command: containers made anew, made again to a new definition, removed;
  // networks and volumes removed.
  struct Changes {
    std::vector<std::string> created, recreated, removed, removed_networks, removed_volumes;
    std::vector<std::string> started;  // found stopped and started again
  };
  Changes changes;

  // How many of the services' containers (workers included) the engine has
  // now, and how many of them run. Engine errors reach the caller.
  std::pair<int, int> count_running();

  // Steps, for telling how far an interrupted operation got. compose_up's
  // are each network and volume made sure of, each service's container
  // defined, and each started; compose_down's each container and network
  // it removes; remove_volume's its volume. up_steps() and down_steps()
  // count those of a compose_up and of a compose_down from the snapshot;
  // steps_done counts those finished.
  int up_steps() const;
  int down_steps() const;
  int steps_done = 0;
  // Registry credentials; nullopt until compose_up stores them (and when it
  // is given none).
  std::optional<std::string> user_name;
  std::optional<std::string> password;
  // The registry login() logs in to ("registry.local:5000"); "" for the
  // engine's default one.
  std::string registry_server;
  // Whether the last login() was refused by the registry (not merely
  // unanswered).
  bool login_refused = false;

  // Called with each line of an image pull's progress (a terminal display),
  // and once more with an empty event (no id, no status) when the pull has
  // ended, successfully or not. Unset by default.
  docker::PullProgress pull_progress;

  // Set when the client only describes changes (a dry run): a recreation is
  // then announced as "would recreate container NAME: ...".
  bool describe_only = false;

 private:
  // One line on the host's console.
  void say(const std::string& line) const { host_.console.say(line); }
  void take_snapshot();
  // Every network as the snapshot listed it, duplicates of a name included.
  std::vector<docker::NetworkRef> listed_networks_;
  void create(const ContainerDefinition& definition);
  // create()'s engine requests, printing through `print`: the container's
  // creation, then joining its networks. Neither records anything, so they
  // may run beside other such calls.
  docker::ContainerRef create_on_engine(const ContainerDefinition& definition,
                                        const std::function<void(const std::string&)>& print);
  void join_networks(const ContainerDefinition& definition);
  // Enters a container create_on_engine made into the snapshot.
  void record_created(const ContainerDefinition& definition, docker::ContainerRef container);
  // Stops and removes `container_name` when it no longer matches
  // `definition`; returns whether it did.
  bool retire_if_changed(const std::string& container_name, const ContainerDefinition& definition);
  void recreate_changed_workers(const ServiceDescription& service);
  void fetch_image(const std::string& image, bool renew);
  // Starts the containers (jobs_ at once) and adds them to `started`.
  void start_containers(const std::vector<std::string>& names);
  unsigned engine_cpu_count();

  host::Host& host_;
  int jobs_ = 1;
  std::optional<unsigned> engine_cpus_;
  // Workers recreated by install_service that ran before, to start again.
  std::vector<std::string> restart_workers_;
  Layout layout_;
};

}  // namespace bootstrap::installer
