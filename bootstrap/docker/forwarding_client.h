// ForwardingClient: a Client that hands every call to another client.
//
// A wrapper that changes a few operations (the dry run, the benchmark's
// timing, fault injection in tests) derives from it and overrides only those;
// everything else reaches the wrapped client unchanged, and a new operation on
// Client needs one forward here rather than one in every wrapper.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/docker/swarm.h"

namespace bootstrap::docker {

class ForwardingClient : public Client {
 public:
  // Forwards to `target`, which must not be null. Every call throws what the
  // target's call throws.
  explicit ForwardingClient(std::shared_ptr<Client> target) : target_(std::move(target)) {}

  std::string api_version() override { return target_->api_version(); }
  std::vector<NetworkRef> list_networks() override { return target_->list_networks(); }
  std::vector<VolumeRef> list_volumes() override { return target_->list_volumes(); }
  std::vector<ContainerRef> list_containers(bool all) override {
    return target_->list_containers(all);
  }
  NetworkRef create_network(const std::string& name) override {
    return target_->create_network(name);
  }
  void connect_network(const std::string& network_id, const std::string& container_id,
                       const std::vector<std::string>& aliases) override {
    target_->connect_network(network_id, container_id, aliases);
  }
  void remove_network(const std::string& id) override { target_->remove_network(id); }
  VolumeRef create_volume(const std::string& name, const std::string& driver) override {
    return target_->create_volume(name, driver);
  }
  VolumeRef get_volume(const std::string& name) override { return target_->get_volume(name); }
  void remove_volume(const std::string& name) override { target_->remove_volume(name); }
  std::string get_image(const std::string& reference) override {
    return target_->get_image(reference);
  }
  void remove_image(const std::string& reference, bool force) override {
    target_->remove_image(reference, force);
  }
  void tag_image(const std::string& source, const std::string& repository,
                 const std::string& tag) override {
    target_->tag_image(source, repository, tag);
  }
  void pull_image(const std::string& repository, const std::string& tag,
                  const PullProgress& progress) override {
    target_->pull_image(repository, tag, progress);
  }
  void save_images(const std::vector<std::string>& references, const ArchiveSink& sink) override {
    target_->save_images(references, sink);
  }
  void load_images(std::uint64_t length, const ArchiveSource& source) override {
    target_->load_images(length, source);
  }
  ContainerRef create_container(const ContainerSpec& definition) override {
    return target_->create_container(definition);
  }
  void start_container(const std::string& id) override { target_->start_container(id); }
  void stop_container(const std::string& id) override { target_->stop_container(id); }
  void remove_container(const std::string& id) override { target_->remove_container(id); }
  void rename_container(const std::string& id, const std::string& name) override {
    target_->rename_container(id, name);
  }
  ContainerDetails inspect_container(const std::string& id) override {
    return target_->inspect_container(id);
  }
  void container_logs(const std::string& id, const LogOptions& options,
                      const LogSink& sink) override {
    target_->container_logs(id, options, sink);
  }
  void login(const std::string& username, const std::string& password,
             const std::string& server) override {
    target_->login(username, password, server);
  }
  std::string push_image(const std::string& repository, const std::string& tag) override {
    return target_->push_image(repository, tag);
  }
  EngineVersion version() override { return target_->version(); }
  std::string version_document() override { return target_->version_document(); }
  EngineInfo info() override { return target_->info(); }
  std::string container_document(const std::string& id) override {
    return target_->container_document(id);
  }
  std::string network_document(const std::string& id) override {
    return target_->network_document(id);
  }
  std::string volume_document(const std::string& name) override {
    return target_->volume_document(name);
  }
  std::string info_document() override { return target_->info_document(); }
  void ping() override { target_->ping(); }
  SwarmState swarm_state() override { return target_->swarm_state(); }
  std::vector<SwarmNode> list_nodes() override { return target_->list_nodes(); }
  void update_node(const SwarmNode& node) override { target_->update_node(node); }
  NetworkRef create_overlay_network(const std::string& name,
                                    const std::map<std::string, std::string>& labels) override {
    return target_->create_overlay_network(name, labels);
  }
  std::string create_service(const ServiceSpec& spec) override {
    return target_->create_service(spec);
  }
  std::vector<ServiceRef> list_services(const std::string& label_key) override {
    return target_->list_services(label_key);
  }
  ServiceRef inspect_service(const std::string& id) override {
    return target_->inspect_service(id);
  }
  void update_service(const std::string& id, std::uint64_t version,
                      const ServiceSpec& spec) override {
    target_->update_service(id, version, spec);
  }
  void remove_service(const std::string& id) override { target_->remove_service(id); }
  std::vector<TaskRef> list_tasks(const std::string& service) override {
    return target_->list_tasks(service);
  }
  std::string image_digest(const std::string& reference) override {
    return target_->image_digest(reference);
  }

  // The wrapped client.
  Client& target() { return *target_; }

 private:
  std::shared_ptr<Client> target_;
};

}  // namespace bootstrap::docker
