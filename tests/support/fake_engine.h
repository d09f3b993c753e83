// FakeEngine: an in-memory Docker engine for unit tests of the deployment
// engine.
//
// It keeps a small state (networks, volumes, containers with their state, the
// definition they were created from and their network memberships, images,
// a registry to pull from, users allowed to log in) and answers every request
// of docker::Client from it, with the engine's own refusals where they are
// cheap to model. Every request is appended to `requests_` as one short line
// ("create network lumadex-es-net", "start lumadex-api"), so a test compares
// the whole list of what was asked instead of setting call-by-call
// expectations.
//
// Any request can be made to fail: fail_next() arms a one-shot error for the
// next request whose line starts with a given prefix, and `errors_` maps a
// request line to an error thrown every time that exact line is asked. A
// failing request is still recorded in `requests_`.
//
// Requests that only read (inspections, logs) may come from several threads
// at once, as the settle watch sends them; requests that change the state
// must come one at a time.
#pragma once

#include <concepts>
#include <mutex>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/swarm.h"

namespace bootstrap::testing {

class FakeEngine : public docker::Client {
 public:
  // A network membership of a container: the network's name and the aliases
  // the container answers to there.
  struct Membership {
    std::string network;
    std::vector<std::string> aliases;
    bool operator==(const Membership&) const = default;
  };

  struct Container {
    std::string id;
    std::string name;
    std::string state;  // "created", "running" or "exited"
    docker::ContainerSpec definition;
    std::vector<Membership> networks;
    int restart_count = 0;
    int exit_code = 0;
    std::int64_t started_at = 0;  // unix seconds
    std::string health;           // "starting", "healthy", ...; empty without a health check
    std::vector<std::pair<docker::LogStream, std::string>> log;  // its log, oldest first
    std::vector<std::string> network_ids;  // the same networks by id, as a listing shows them
  };

  // "redis" -> "redis:latest", "registry.local:5000/app" ->
  // "registry.local:5000/app:latest"; references with a tag or a digest are
  // kept as they are.
  static std::string normalize_image(const std::string& reference);

  // --- Setting up state (not recorded in requests_) -----------------------

  void add_network(const std::string& name, const std::string& id = "");
  void add_volume(const std::string& name, const std::string& driver = "local");
  // A container made from `image` in the given state. The image is not added.
  Container& add_container(const std::string& name, const std::string& image,
                           const std::string& state = "running");
  void add_image(const std::string& reference) { images_.insert(normalize_image(reference)); }
  void add_to_registry(const std::string& reference) {
    registry_.insert(normalize_image(reference));
  }

  // --- Looking at state ----------------------------------------------------

  // nullptr when there is no container of that name.
  const Container* container(const std::string& name) const;
  std::vector<std::string> container_names() const;
  std::vector<std::string> network_names() const;
  std::vector<std::string> volume_names() const;
  bool has_image(const std::string& reference) const {
    return images_.count(normalize_image(reference)) > 0;
  }

  // --- Fault injection -----------------------------------------------------

  // The next request whose line starts with `request_prefix` throws `error`
  // (once); other requests are answered as usual.
  void fail_next(const std::string& request_prefix, std::exception_ptr error);
  template <typename Error>
    requires std::derived_from<Error, std::exception>
  void fail_next(const std::string& request_prefix, Error error) {
    fail_next(request_prefix, std::make_exception_ptr(std::move(error)));
  }

  // --- docker::Client ------------------------------------------------------

  std::string api_version() override;
  std::vector<docker::NetworkRef> list_networks() override;
  std::vector<docker::VolumeRef> list_volumes() override;
  std::vector<docker::ContainerRef> list_containers(bool all) override;
  docker::NetworkRef create_network(const std::string& name) override;
  void connect_network(const std::string& network_id, const std::string& container_id,
                       const std::vector<std::string>& aliases) override;
  void remove_network(const std::string& id) override;
  docker::VolumeRef create_volume(const std::string& name, const std::string& driver) override;
  docker::VolumeRef get_volume(const std::string& name) override;
  void remove_volume(const std::string& name) override;
  std::string get_image(const std::string& reference) override;
  void remove_image(const std::string& reference, bool force) override;
  // Adds repository:tag as an image (the fake knows no image ids).
  void tag_image(const std::string& source, const std::string& repository,
                 const std::string& tag) override;
  void pull_image(const std::string& repository, const std::string& tag,
                  const docker::PullProgress& progress) override;
  // The archive is the normalized references, one line each.
  void save_images(const std::vector<std::string>& references,
                   const docker::ArchiveSink& sink) override;
  // Adds each line of the archive (as save_images writes it) as an image.
  void load_images(std::uint64_t length, const docker::ArchiveSource& source) override;
  docker::ContainerRef create_container(const docker::ContainerSpec& definition) override;
  void start_container(const std::string& id) override;
  void stop_container(const std::string& id) override;
  void remove_container(const std::string& id) override;
  void rename_container(const std::string& id, const std::string& name) override;
  // Status, image, CPU set and networks as the container has them; the
  // ports its definition publishes while it runs.
  docker::ContainerDetails inspect_container(const std::string& id) override;
  // The container's `log`, its last `tail` lines when set; following ends
  // at once, as if the container had stopped.
  void container_logs(const std::string& id, const docker::LogOptions& options,
                      const docker::LogSink& sink) override;
  void login(const std::string& username, const std::string& password,
             const std::string& server) override;
  // Puts the image into `registry_` and answers "sha256:" and its name.
  std::string push_image(const std::string& repository, const std::string& tag) override;
  docker::EngineVersion version() override;
  std::string version_document() override;
  docker::EngineInfo info() override;
  // Small documents of the engine's shape: a container's name, state,
  // image and environment; a network's or volume's name; the info's CPUs.
  std::string container_document(const std::string& id) override;
  std::string network_document(const std::string& id) override;
  std::string volume_document(const std::string& name) override;
  std::string info_document() override;
  void ping() override;
  // The swarm operations answer from swarm_, nodes_, services_ and tasks_;
  // all but swarm_state() refuse (503) unless swarm_.manager. A created or
  // updated service gets no tasks by itself: a test adds those it needs.
  docker::SwarmState swarm_state() override;
  std::vector<docker::SwarmNode> list_nodes() override;
  // Refuses (500, out of sequence) a node whose version is not the current
  // one; a success raises the version.
  void update_node(const docker::SwarmNode& node) override;
  docker::NetworkRef create_overlay_network(
      const std::string& name, const std::map<std::string, std::string>& labels) override;
  std::string create_service(const docker::ServiceSpec& spec) override;
  std::vector<docker::ServiceRef> list_services(const std::string& label_key) override;
  docker::ServiceRef inspect_service(const std::string& id) override;
  void update_service(const std::string& id, std::uint64_t version,
                      const docker::ServiceSpec& spec) override;
  void remove_service(const std::string& id) override;
  std::vector<docker::TaskRef> list_tasks(const std::string& service) override;
  // From digests_; ImageNotFound for a reference it lacks.
  std::string image_digest(const std::string& reference) override;

  // --- State, in the engine's listing order ---------------------------------

  std::vector<docker::NetworkRef> networks_;
  std::vector<docker::VolumeRef> volumes_;
  std::vector<Container> containers_;
  std::set<std::string> images_;    // normalized "repo:tag" (or "repo@digest")
  std::set<std::string> registry_;  // what a pull can fetch, normalized
  // Repositories whose pull needs a successful login first (401 otherwise).
  std::set<std::string> private_repositories_;
  // User name -> password accepted by login.
  std::map<std::string, std::string> users_;
  std::optional<std::string> logged_in_user_;
  int ncpu_ = 4;  // CPUs that exist: a cpuset naming others is refused (400)
  // What info() reports as the CPU count when set; ncpu_ otherwise.
  std::optional<int> info_ncpu_;

  // False: every request fails with ConnectionError, as on a host where no
  // engine runs.
  bool answers_ = true;
  // What version() reports as its engine: Podman rather than Docker.
  bool podman_ = false;

  // Swarm mode: inactive unless a test makes it otherwise.
  docker::SwarmState swarm_{"", "inactive", false, ""};
  std::vector<docker::SwarmNode> nodes_;
  std::vector<docker::ServiceRef> services_;
  std::vector<docker::TaskRef> tasks_;
  std::map<std::string, std::string> digests_;  // image reference -> "sha256:..."
  // The labels each overlay network was created with.
  std::map<std::string, std::map<std::string, std::string>> overlay_labels_;

  // Every request, in order, as one line each.
  std::vector<std::string> requests_;
  // Request line -> error thrown every time that line is asked.
  std::map<std::string, std::exception_ptr> errors_;

 private:
  // Records the request and throws an armed error for it, if any.
  void request(const std::string& line);
  Container* find_container(const std::string& id_or_name);
  docker::NetworkRef* find_network(const std::string& id_or_name);
  std::vector<docker::VolumeRef>::iterator find_volume(const std::string& name);
  // Records the request; throws 503 unless this engine manages a swarm.
  void swarm_request(const std::string& line);
  docker::ServiceRef* find_service(const std::string& id_or_name);

  std::vector<std::pair<std::string, std::exception_ptr>> one_shot_;
  std::mutex request_mutex_;  // guards requests_ and one_shot_ in request()
};

}  // namespace bootstrap::testing
