// TimingClient: a docker::ForwardingClient that times every call it passes
// through, recording for each one its kind and when it started and ended
// (steady clock). Several decorators may share one RequestLog, so that
// an operation that makes more than one client (update) yields one timeline.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bootstrap/docker/forwarding_client.h"

namespace kestro::bench {

enum class CallKind {
  kApiVersion,
  kList,
  kCreateNetwork,
  kConnectNetwork,
  kRemoveNetwork,
  kCreateVolume,
  kGetVolume,
  kRemoveVolume,
  kGetImage,
  kRemoveImage,
  kTagImage,
  kPull,
  kCreateContainer,
  kStartContainer,
  kStopContainer,
  kRemoveContainer,
  kRenameContainer,
  kInspectContainer,
  kContainerLogs,
  kLogin,
  kVersion,
  kInfo,
};

const char* kind_name(CallKind kind);

struct CallRecord {
  CallKind kind;
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point ended;
  bool failed = false;  // the call threw
};

struct RequestLog {
  std::vector<CallRecord> calls;
  // Calls in flight together (--jobs) end on their own threads; read
  // `calls` once the operation has returned.
  std::mutex mutex;
};

class TimingClient : public bootstrap::docker::ForwardingClient {
 public:
  TimingClient(std::shared_ptr<bootstrap::docker::Client> inner, std::shared_ptr<RequestLog> log);

  std::string api_version() override;
  std::vector<bootstrap::docker::NetworkRef> list_networks() override;
  std::vector<bootstrap::docker::VolumeRef> list_volumes() override;
  std::vector<bootstrap::docker::ContainerRef> list_containers(bool all) override;
  bootstrap::docker::NetworkRef create_network(const std::string& name) override;
  void connect_network(const std::string& network_id, const std::string& container_id,
                       const std::vector<std::string>& aliases) override;
  void remove_network(const std::string& id) override;
  bootstrap::docker::VolumeRef create_volume(const std::string& name,
                                             const std::string& driver) override;
  bootstrap::docker::VolumeRef get_volume(const std::string& name) override;
  void remove_volume(const std::string& name) override;
  std::string get_image(const std::string& reference) override;
  void remove_image(const std::string& reference, bool force) override;
  void tag_image(const std::string& source, const std::string& repository,
                 const std::string& tag) override;
  void pull_image(const std::string& repository, const std::string& tag,
                  const bootstrap::docker::PullProgress& progress) override;
  bootstrap::docker::ContainerRef create_container(
      const bootstrap::docker::ContainerSpec& definition) override;
  void start_container(const std::string& id) override;
  void stop_container(const std::string& id) override;
  void remove_container(const std::string& id) override;
  void rename_container(const std::string& id, const std::string& name) override;
  bootstrap::docker::ContainerDetails inspect_container(const std::string& id) override;
  void container_logs(const std::string& id, const bootstrap::docker::LogOptions& options,
                      const bootstrap::docker::LogSink& sink) override;
  void login(const std::string& username, const std::string& password,
             const std::string& server) override;
  bootstrap::docker::EngineVersion version() override;
  std::string version_document() override;
  bootstrap::docker::EngineInfo info() override;

 private:
  template <typename F>
  auto timed(CallKind kind, F&& call) -> decltype(call());

  std::shared_ptr<RequestLog> log_;
};

}  // namespace kestro::bench
