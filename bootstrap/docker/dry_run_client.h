// DryRunClient: a Client that reads the engine but changes nothing.
//
// It wraps a real client. Requests that only read (lists, lookups, inspect,
// version, info) pass through, so the installer sees the engine as it is and
// takes the same decisions as in a real run. Every request that would change
// the engine (create, connect, start, stop, remove, pull, load, login, tag, push, and a
// swarm's node labels and services) is instead
// printed as one line starting with "would " and answered as if it had
// succeeded, with made-up ids ("dry-run:<name>") for objects it would create.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "bootstrap/docker/forwarding_client.h"

namespace bootstrap::docker {

class DryRunClient : public ForwardingClient {
 public:
  // Reads through `real`; prints what changes would be made on `out`, and
  // counts each in `described` when given.
  DryRunClient(std::shared_ptr<Client> real, std::ostream& out,
               std::shared_ptr<std::atomic<int>> described = nullptr);

  std::vector<NetworkRef> list_networks() override;
  std::vector<ContainerRef> list_containers(bool all) override;
  NetworkRef create_network(const std::string& name) override;
  void connect_network(const std::string& network_id, const std::string& container_id,
                       const std::vector<std::string>& aliases) override;
  void remove_network(const std::string& id) override;
  VolumeRef create_volume(const std::string& name, const std::string& driver) override;
  void remove_volume(const std::string& name) override;
  void remove_image(const std::string& reference, bool force) override;
  void tag_image(const std::string& source, const std::string& repository,
                 const std::string& tag) override;
  void pull_image(const std::string& repository, const std::string& tag,
                  const PullProgress& progress) override;
  // Reads nothing of `source`.
  void load_images(std::uint64_t length, const ArchiveSource& source) override;
  ContainerRef create_container(const ContainerSpec& definition) override;
  void start_container(const std::string& id) override;
  void stop_container(const std::string& id) override;
  void remove_container(const std::string& id) override;
  void rename_container(const std::string& id, const std::string& name) override;
  void login(const std::string& username, const std::string& password,
             const std::string& server) override;
  // Answers with an empty digest.
  std::string push_image(const std::string& repository, const std::string& tag) override;
  std::vector<ServiceRef> list_services(const std::string& label_key) override;
  void update_node(const SwarmNode& node) override;
  NetworkRef create_overlay_network(const std::string& name,
                                    const std::map<std::string, std::string>& labels) override;
  std::string create_service(const ServiceSpec& spec) override;
  void update_service(const std::string& id, std::uint64_t version,
                      const ServiceSpec& spec) override;
  void remove_service(const std::string& id) override;

 private:
  void would(const std::string& what);
  // The name behind an id, for readable lines; the id itself when unknown.
  std::string name_of(const std::string& id) const;
  void remember(const std::string& id, const std::string& name);

  std::ostream& out_;
  std::shared_ptr<std::atomic<int>> described_;
  std::map<std::string, std::string> names_;  // id -> name, learned from lists and creations
  // Guards names_ and out_: requests may come from several threads (--jobs).
  mutable std::mutex mutex_;
};

}  // namespace bootstrap::docker
