// DockerClient: the Client over the engine's HTTP API.
//
// It speaks the versioned API (/v1.xx/...) through a Transport. The version is
// the pinned one from the configuration, or else negotiated once with /_ping:
// the lower of kMaxApiVersion and the engine's own. Credentials accepted by
// login() are kept in memory only, one set per registry host, and sent as
// X-Registry-Auth on every later request that reaches that registry; the
// engine itself keeps nothing.
//
// Safe to use from several threads at once: the clients made from the
// environment give each request in flight its own connection
// (TransportPool); a client over a given transport is as safe as that
// transport.
//
// Answers are read defensively: a count beyond its field's range is clamped
// to it (NCPU to INT_MAX, MemTotal to INT64_MAX, a pull's progress figures to
// 0..INT64_MAX), a fraction or a non-number where a count is due is
// MalformedAnswer (in a progress line it is left out), and text that is not
// JSON, or holds a number JSON cannot hold (1e999), is MalformedAnswer with
// what we were doing in front.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bootstrap/docker/client.h"
#include "bootstrap/docker/config.h"
#include "bootstrap/docker/swarm.h"
#include "bootstrap/docker/transport.h"

namespace bootstrap::docker {

inline constexpr const char* kMaxApiVersion = "1.47";
inline constexpr const char* kMinApiVersion = "1.41";

// Counters kept by a DockerClient, for benchmarks and diagnostics.
struct ClientStats {
  std::size_t requests = 0;
  std::chrono::nanoseconds engine_wait{0};  // summed request latencies
};

class DockerClient : public Client {
 public:
  // Uses `transport` for every request. `pinned_version` skips negotiation.
  explicit DockerClient(std::unique_ptr<Transport> transport,
                        std::optional<std::string> pinned_version = std::nullopt);
  ~DockerClient() override;
  DockerClient(const DockerClient&) = delete;
  DockerClient& operator=(const DockerClient&) = delete;

  // A client for the engine the process environment names (see config.h),
  // over libcurl. Throws ConfigError for an unusable environment; does not
  // contact the engine.
  static std::unique_ptr<DockerClient> from_environment();
  // The same with the libcurl transport handed through `wrap` first (a
  // decorator such as LoggingTransport). Throws as from_environment().
  static std::unique_ptr<DockerClient> from_environment(
      const std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)>& wrap);
  // A client for the engine `config` names, over libcurl, the transport
  // handed through `wrap` first when given. Does not contact the engine.
  static std::unique_ptr<DockerClient> from_config(
      ClientConfig config,
      const std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)>& wrap = {});

  // A copy of the counters so far.
  ClientStats stats() const;

  std::string api_version() override;
  std::vector<NetworkRef> list_networks() override;
  std::vector<VolumeRef> list_volumes() override;
  std::vector<ContainerRef> list_containers(bool all) override;
  NetworkRef create_network(const std::string& name) override;
  void connect_network(const std::string& network_id, const std::string& container_id,
                       const std::vector<std::string>& aliases) override;
  void remove_network(const std::string& id) override;
  VolumeRef create_volume(const std::string& name, const std::string& driver) override;
  VolumeRef get_volume(const std::string& name) override;
  void remove_volume(const std::string& name) override;
  std::string get_image(const std::string& reference) override;
  void remove_image(const std::string& reference, bool force) override;
  void tag_image(const std::string& source, const std::string& repository,
                 const std::string& tag) override;
  void pull_image(const std::string& repository, const std::string& tag,
                  const PullProgress& progress) override;
  void save_images(const std::vector<std::string>& references, const ArchiveSink& sink) override;
  void load_images(std::uint64_t length, const ArchiveSource& source) override;
  ContainerRef create_container(const ContainerSpec& definition) override;
  void start_container(const std::string& id) override;
  void stop_container(const std::string& id) override;
  void remove_container(const std::string& id) override;
  void rename_container(const std::string& id, const std::string& name) override;
  ContainerDetails inspect_container(const std::string& id) override;
  void container_logs(const std::string& id, const LogOptions& options,
                      const LogSink& sink) override;
  void login(const std::string& username, const std::string& password,
             const std::string& server) override;
  std::string push_image(const std::string& repository, const std::string& tag) override;
  EngineVersion version() override;
  std::string version_document() override;
  EngineInfo info() override;
  std::string container_document(const std::string& id) override;
  std::string network_document(const std::string& id) override;
  std::string volume_document(const std::string& name) override;
  std::string info_document() override;
  void ping() override;
  SwarmState swarm_state() override;
  std::vector<SwarmNode> list_nodes() override;
  void update_node(const SwarmNode& node) override;
  NetworkRef create_overlay_network(const std::string& name,
                                    const std::map<std::string, std::string>& labels) override;
  std::string create_service(const ServiceSpec& spec) override;
  std::vector<ServiceRef> list_services(const std::string& label_key) override;
  ServiceRef inspect_service(const std::string& id) override;
  void update_service(const std::string& id, std::uint64_t version,
                      const ServiceSpec& spec) override;
  void remove_service(const std::string& id) override;
  std::vector<TaskRef> list_tasks(const std::string& service) override;
  std::string image_digest(const std::string& reference) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace bootstrap::docker
