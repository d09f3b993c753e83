#include "bench/timing_client.h"

#include <type_traits>
#include <utility>

namespace kestro::bench {

namespace docker = bootstrap::docker;

const char* kind_name(CallKind kind) {
  switch (kind) {
    case CallKind::kApiVersion: return "api_version";
    case CallKind::kList: return "list";
    case CallKind::kCreateNetwork: return "create_network";
    case CallKind::kConnectNetwork: return "connect_network";
    case CallKind::kRemoveNetwork: return "remove_network";
    case CallKind::kCreateVolume: return "create_volume";
    case CallKind::kGetVolume: return "get_volume";
    case CallKind::kRemoveVolume: return "remove_volume";
    case CallKind::kGetImage: return "get_image";
    case CallKind::kRemoveImage: return "remove_image";
    case CallKind::kTagImage: return "tag_image";
    case CallKind::kPull: return "pull";
    case CallKind::kCreateContainer: return "create_container";
    case CallKind::kStartContainer: return "start_container";
    case CallKind::kStopContainer: return "stop_container";
    case CallKind::kRemoveContainer: return "remove_container";
    case CallKind::kRenameContainer: return "rename_container";
    case CallKind::kInspectContainer: return "inspect_container";
    case CallKind::kContainerLogs: return "container_logs";
    case CallKind::kLogin: return "login";
    case CallKind::kVersion: return "version";
    case CallKind::kInfo: return "info";
  }
  return "?";
}

TimingClient::TimingClient(std::shared_ptr<docker::Client> inner, std::shared_ptr<RequestLog> log)
    : ForwardingClient(std::move(inner)), log_(std::move(log)) {}

template <typename F>
auto TimingClient::timed(CallKind kind, F&& call) -> decltype(call()) {
  CallRecord record{kind, std::chrono::steady_clock::now(), {}, true};
  // Recorded however the call ends; a throwing call is marked failed.
  struct Finish {
    RequestLog& log;
    CallRecord& record;
    ~Finish() {
      record.ended = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> lock(log.mutex);
      log.calls.push_back(record);
    }
  } finish{*log_, record};
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    record.failed = false;
  } else {
    auto result = call();
    record.failed = false;
    return result;
  }
}

std::string TimingClient::api_version() {
  return timed(CallKind::kApiVersion, [&] { return ForwardingClient::api_version(); });
}
std::vector<docker::NetworkRef> TimingClient::list_networks() {
  return timed(CallKind::kList, [&] { return ForwardingClient::list_networks(); });
}
std::vector<docker::VolumeRef> TimingClient::list_volumes() {
  return timed(CallKind::kList, [&] { return ForwardingClient::list_volumes(); });
}
std::vector<docker::ContainerRef> TimingClient::list_containers(bool all) {
  return timed(CallKind::kList, [&] { return ForwardingClient::list_containers(all); });
}
docker::NetworkRef TimingClient::create_network(const std::string& name) {
  return timed(CallKind::kCreateNetwork, [&] { return ForwardingClient::create_network(name); });
}
void TimingClient::connect_network(const std::string& network_id, const std::string& container_id,
                                   const std::vector<std::string>& aliases) {
  timed(CallKind::kConnectNetwork,
        [&] { ForwardingClient::connect_network(network_id, container_id, aliases); });
}
void TimingClient::remove_network(const std::string& id) {
  timed(CallKind::kRemoveNetwork, [&] { ForwardingClient::remove_network(id); });
}
docker::VolumeRef TimingClient::create_volume(const std::string& name, const std::string& driver) {
  return timed(CallKind::kCreateVolume, [&] { return ForwardingClient::create_volume(name, driver); });
}
docker::VolumeRef TimingClient::get_volume(const std::string& name) {
  return timed(CallKind::kGetVolume, [&] { return ForwardingClient::get_volume(name); });
}
void TimingClient::remove_volume(const std::string& name) {
  timed(CallKind::kRemoveVolume, [&] { ForwardingClient::remove_volume(name); });
}
std::string TimingClient::get_image(const std::string& reference) {
  return timed(CallKind::kGetImage, [&] { return ForwardingClient::get_image(reference); });
}
void TimingClient::remove_image(const std::string& reference, bool force) {
  timed(CallKind::kRemoveImage, [&] { ForwardingClient::remove_image(reference, force); });
}
void TimingClient::pull_image(const std::string& repository, const std::string& tag,
                              const docker::PullProgress& progress) {
  timed(CallKind::kPull, [&] { ForwardingClient::pull_image(repository, tag, progress); });
}
docker::ContainerRef TimingClient::create_container(const docker::ContainerSpec& definition) {
  return timed(CallKind::kCreateContainer, [&] { return ForwardingClient::create_container(definition); });
}
void TimingClient::start_container(const std::string& id) {
  timed(CallKind::kStartContainer, [&] { ForwardingClient::start_container(id); });
}
void TimingClient::stop_container(const std::string& id) {
  timed(CallKind::kStopContainer, [&] { ForwardingClient::stop_container(id); });
}
void TimingClient::remove_container(const std::string& id) {
  timed(CallKind::kRemoveContainer, [&] { ForwardingClient::remove_container(id); });
}
bootstrap::docker::ContainerDetails TimingClient::inspect_container(const std::string& id) {
  return timed(CallKind::kInspectContainer, [&] { return ForwardingClient::inspect_container(id); });
}

void TimingClient::container_logs(const std::string& id, const docker::LogOptions& options,
                                  const docker::LogSink& sink) {
  timed(CallKind::kContainerLogs, [&] { ForwardingClient::container_logs(id, options, sink); });
}
void TimingClient::login(const std::string& username, const std::string& password,
                         const std::string& server) {
  timed(CallKind::kLogin, [&] { ForwardingClient::login(username, password, server); });
}
bootstrap::docker::EngineVersion TimingClient::version() {
  return timed(CallKind::kVersion, [&] { return ForwardingClient::version(); });
}

std::string TimingClient::version_document() {
  return timed(CallKind::kVersion, [&] { return ForwardingClient::version_document(); });
}
docker::EngineInfo TimingClient::info() {
  return timed(CallKind::kInfo, [&] { return ForwardingClient::info(); });
}

void TimingClient::tag_image(const std::string& source, const std::string& repository,
                             const std::string& tag) {
  timed(CallKind::kTagImage, [&] { ForwardingClient::tag_image(source, repository, tag); });
}
void TimingClient::rename_container(const std::string& id, const std::string& name) {
  timed(CallKind::kRenameContainer, [&] { ForwardingClient::rename_container(id, name); });
}

}  // namespace kestro::bench
