// The operations this system asks of a Docker engine.
//
// Client is the interface every engine user programs against. DockerClient
// (docker_client.h) is the real implementation over the engine's HTTP API;
// tests use an in-memory fake, and the dry-run mode wraps a real client so that
// reads pass through while changes are only described. Objects on the engine
// are named by id or name: every operation that takes `id` accepts either.
//
// Every operation blocks until the engine has answered. Unless said otherwise
// an operation throws ConnectionError when the engine cannot be reached,
// NotFound when the engine answers 404, and ApiError for any other error
// status; each error's text names what was being done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bootstrap::docker {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct NetworkRef {
  std::string id;
  std::string name;
};

struct VolumeRef {
  std::string name;
  std::string driver;
};

struct ContainerRef {
  std::string id;
  std::string name;   // without the engine's leading "/"
  std::string image;  // as the engine lists it (empty right after create)
  std::string state;  // "created", "running", "exited", ... (empty right after create)
  std::map<std::string, std::string> labels;  // as the engine lists them (empty right after create)
  // Ids of the networks it has joined, from a listing; a container that has
  // never run may lack them.
  std::vector<std::string> network_ids{};
  // The id of the image it was created from, from a listing ("sha256:...").
  std::string image_id{};
};

struct Ulimit {
  std::string name;  // "memlock", without the RLIMIT_ prefix
  std::int64_t soft = 0;
  std::int64_t hard = 0;  // -1 means unlimited
  bool operator==(const Ulimit&) const = default;
};

struct Bind {
  std::string source;  // host path (starts with "/") or volume name
  std::string target;  // path inside the container
  std::string mode;    // "rw" or "ro"
  bool operator==(const Bind&) const = default;
};

// What a container is created with. Optional members that are unset are left
// out of the request entirely.
struct ContainerSpec {
  std::string image;
  std::optional<std::string> command;   // split into argv as a shell splits words
  std::string name;
  std::optional<KeyValues> environment;  // sent as "K=V", in this order
  std::optional<std::vector<Ulimit>> ulimits;
  std::optional<KeyValues> ports;        // container port -> host port, "5000" -> "5000"
  std::optional<std::vector<Bind>> binds;
  std::optional<std::string> restart_policy;  // "always", "no", ...
  std::optional<std::string> cpuset_cpus;
  std::map<std::string, std::string> labels;  // sent as Labels unless empty
};

// The engine's host facts that this system uses.
struct EngineInfo {
  int ncpu = 0;                 // logical CPUs the engine may use
  std::int64_t mem_total = 0;   // bytes
  std::string server_version;
  std::string operating_system;
  std::string docker_root_dir;
};

// What an inspection of a container tells that this system reads. Members the
// engine leaves out, or sends with another type, are empty.
struct ContainerDetails {
  std::string status;       // "created", "running", "exited", ...
  std::string image;        // the image as the container was created from it
  std::string cpuset_cpus;  // "0-1"; empty when not restricted
  std::vector<std::string> networks;  // names of the networks joined
  // Published ports: container port with protocol ("5000/tcp") -> host ports.
  std::map<std::string, std::vector<std::string>> published_ports;
  bool running = false;     // also true while the engine restarts it
  bool restarting = false;
  int restart_count = 0;    // restarts the engine made under the restart policy
  int exit_code = 0;        // of the last exit
  std::int64_t started_at = 0;   // unix seconds of the last start; 0 when never started
  std::int64_t finished_at = 0;  // unix seconds of the last exit; 0 when never exited
  std::string health;       // "starting", "healthy", "unhealthy"; empty without a health check
  bool tty = false;         // created with a terminal: its log is one raw stream
};

// What the engine's version document tells that this system reads. Members
// the engine leaves out, or sends with another type, are empty.
struct EngineVersion {
  std::string version;      // the engine's release, "24.0.7"
  std::string api_version;  // the newest API the engine speaks, "1.43"
  bool podman = false;      // a component of the document is "Podman Engine"
};

// One line of an image pull's progress stream.
struct PullEvent {
  std::string id;      // layer id, or the tag for the first line
  std::string status;  // "Downloading", "Pull complete", ...
  std::optional<std::int64_t> current;  // bytes (or seconds, see units)
  std::optional<std::int64_t> total;    // absent or 0 when unknown
  std::string units;   // empty for bytes, "s" on the containerd store
};
using PullProgress = std::function<void(const PullEvent&)>;

// Receives an image archive's bytes as they arrive, in slices of any size.
using ArchiveSink = std::function<void(std::string_view bytes)>;
// Fills up to `size` bytes of `buffer` with an image archive's next bytes and
// returns how many it wrote; 0 at the archive's end.
using ArchiveSource = std::function<std::size_t(char* buffer, std::size_t size)>;

// What part of a container's log to read.
struct LogOptions {
  std::optional<int> tail;            // only the last N lines; every line when unset
  std::optional<std::int64_t> since;  // only lines from this unix time (seconds) on
  bool follow = false;                // keep reading new lines until the container stops
  bool timestamps = false;            // each line starts with the engine's RFC 3339 time
};
// Which output of a container a log line was written to.
enum class LogStream { kStdout, kStderr };
// Receives one log line, without its line ending.
using LogSink = std::function<void(LogStream stream, std::string_view line)>;

// The swarm's documents (swarm.h), which every caller of the swarm operations
// includes.
struct SwarmState;
struct SwarmNode;
struct ServiceSpec;
struct ServiceRef;
struct TaskRef;

class Client {
 public:
  virtual ~Client() = default;

  // The API version in use, negotiated with the engine on first need.
  virtual std::string api_version() = 0;

  // Lists every network / volume / container (stopped ones too when `all`),
  // in the engine's order.
  virtual std::vector<NetworkRef> list_networks() = 0;
  virtual std::vector<VolumeRef> list_volumes() = 0;
  virtual std::vector<ContainerRef> list_containers(bool all) = 0;

  // Creates a network with the engine's default driver. On engines that would
  // otherwise accept a second network of the same name, asks them to refuse
  // it (409).
  virtual NetworkRef create_network(const std::string& name) = 0;
  // Joins a container to a network under the given aliases.
  virtual void connect_network(const std::string& network_id,
                               const std::string& container_id,
                               const std::vector<std::string>& aliases) = 0;
  virtual void remove_network(const std::string& id) = 0;

  virtual VolumeRef create_volume(const std::string& name, const std::string& driver) = 0;
  // Throws NotFound when there is no such volume.
  virtual VolumeRef get_volume(const std::string& name) = 0;
  virtual void remove_volume(const std::string& name) = 0;

  // Returns the image's id. Throws ImageNotFound when the engine lacks it.
  virtual std::string get_image(const std::string& reference) = 0;
  virtual void remove_image(const std::string& reference, bool force) = 0;
  // Gives the image `source` (a reference or an id) the name repository:tag
  // as well, moving that name off any image it named before. Throws
  // ImageNotFound when the engine lacks it.
  virtual void tag_image(const std::string& source, const std::string& repository,
                         const std::string& tag) = 0;
  // Pulls repository:tag (or repository@digest when `tag` starts with
  // "sha256:"), reading the progress stream to its end and handing each line
  // to `progress` when given. A stream that ends in an error object throws
  // ApiError with the status the error carries (500 when it carries none).
  virtual void pull_image(const std::string& repository, const std::string& tag,
                          const PullProgress& progress) = 0;

  // Hands the engine's archive of the named images (a tar of their layers,
  // configurations and tags, as `docker save` writes it) to `sink` as it
  // arrives, never holding it whole. Throws ImageNotFound when the engine
  // lacks one of them; exceptions from `sink` end the transfer and propagate.
  virtual void save_images(const std::vector<std::string>& references,
                           const ArchiveSink& sink) = 0;
  // Loads the images of an archive that save_images wrote, `length` bytes
  // read from `source` as they are sent, tags included. Throws ApiError when
  // the engine refuses the archive, also when it says so only in its
  // answer's stream; exceptions from `source` end the transfer and propagate.
  virtual void load_images(std::uint64_t length, const ArchiveSource& source) = 0;

  // Creates (does not start) a container. Throws ImageNotFound when the engine
  // lacks the image, ApiError 409 when the name is taken, ApiError 400 for a
  // definition the engine refuses. Throws std::invalid_argument, before any
  // request, for a command with an unterminated quote.
  virtual ContainerRef create_container(const ContainerSpec& definition) = 0;
  // Starting a running container and stopping a stopped one are successes.
  virtual void start_container(const std::string& id) = 0;
  virtual void stop_container(const std::string& id) = 0;
  virtual void remove_container(const std::string& id) = 0;
  // Gives a container another name; ApiError 409 when the name is taken.
  virtual void rename_container(const std::string& id, const std::string& name) = 0;
  // What the engine reports of a container. Throws EngineError, naming the
  // container, when the answer is not a JSON object.
  virtual ContainerDetails inspect_container(const std::string& id) = 0;
  // Reads a container's log (stdout and stderr) as it arrives, handing each
  // complete line to `sink`; a container with a terminal has one stream,
  // reported as stdout. With `follow` it returns when the container stops,
  // and throws Interrupted after Ctrl-C. Exceptions from `sink` end the read
  // and propagate.
  virtual void container_logs(const std::string& id, const LogOptions& options,
                              const LogSink& sink) = 0;

  // Checks the credentials with the engine for the registry `server`
  // ("registry.local:5000"; Docker Hub when empty). A user name of
  // "<token>" makes the password an identity token, as Docker's credential
  // helpers hand one out. On success every later request of this client
  // that reaches that registry carries them (pulls, pushes, digest lookups,
  // swarm service creates and updates); other registries never see them.
  virtual void login(const std::string& username, const std::string& password,
                     const std::string& server) = 0;

  // Pushes repository:tag to the registry its name starts with, reading the
  // progress stream to its end, and returns the digest ("sha256:...") the
  // registry gave it. Throws ApiError when the registry refuses it, also when
  // the stream says so after a success status, and ImageNotFound when the
  // engine lacks the image.
  virtual std::string push_image(const std::string& repository, const std::string& tag) = 0;

  // The engine's release and API range. Throws EngineError when the answer is
  // not a JSON object.
  virtual EngineVersion version() = 0;
  // The engine's version document as the engine sent it, for printing whole.
  virtual std::string version_document() = 0;
  virtual EngineInfo info() = 0;

  // The engine's documents as it sent them, for keeping whole: a container's,
  // a network's or a volume's inspection, and the info document.
  virtual std::string container_document(const std::string& id) = 0;
  virtual std::string network_document(const std::string& id) = 0;
  virtual std::string volume_document(const std::string& name) = 0;
  virtual std::string info_document() = 0;
  // Asks whether an engine answers at all (GET /_ping, unversioned); any HTTP
  // answer counts. Throws ConnectionError when none comes.
  virtual void ping() = 0;

  // --- Swarm mode (swarm.h) ------------------------------------------------
  // Every operation but swarm_state() needs an engine that manages a swarm;
  // any other answers 503, thrown as ApiError.

  // This engine's part in a swarm, from its info document. Throws
  // EngineError when the answer is not a JSON object.
  virtual SwarmState swarm_state() = 0;
  virtual std::vector<SwarmNode> list_nodes() = 0;
  // Replaces the node's spec (labels, role, availability) with the one
  // given, at the version given; a node changed since answers 500 (out of
  // sequence).
  virtual void update_node(const SwarmNode& node) = 0;
  // Creates an overlay network that stand-alone containers may join too,
  // with the labels given, refused (409) when the name is taken.
  virtual NetworkRef create_overlay_network(const std::string& name,
                                            const std::map<std::string, std::string>& labels) = 0;
  // Creates a service and returns its id; 409 when the name is taken.
  virtual std::string create_service(const ServiceSpec& spec) = 0;
  // The services that carry the label `label_key` (any value).
  virtual std::vector<ServiceRef> list_services(const std::string& label_key) = 0;
  // Throws NotFound when there is no such service.
  virtual ServiceRef inspect_service(const std::string& id) = 0;
  // Replaces the service's ServiceSpec at the version given; the engine then
  // rolls its tasks over as that ServiceSpec's update order says.
  virtual void update_service(const std::string& id, std::uint64_t version,
                              const ServiceSpec& spec) = 0;
  virtual void remove_service(const std::string& id) = 0;
  // The tasks of one service (by name or id), every state, in the engine's order.
  virtual std::vector<TaskRef> list_tasks(const std::string& service) = 0;
  // The digest ("sha256:...") the registry gives the image reference now,
  // asked through the engine. Throws ImageNotFound when the registry lacks it.
  virtual std::string image_digest(const std::string& reference) = 0;
};

}  // namespace bootstrap::docker
