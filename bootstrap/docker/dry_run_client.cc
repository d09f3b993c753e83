#include "bootstrap/docker/dry_run_client.h"

namespace bootstrap::docker {

DryRunClient::DryRunClient(std::shared_ptr<Client> real, std::ostream& out,
                           std::shared_ptr<std::atomic<int>> described)
    : ForwardingClient(std::move(real)), out_(out), described_(std::move(described)) {}

void DryRunClient::would(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << "would " << what << std::endl;
  if (described_) ++*described_;
}

void DryRunClient::remember(const std::string& id, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_[id] = name;
}

std::string DryRunClient::name_of(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = names_.find(id);
  return it == names_.end() ? id : it->second;
}

std::vector<NetworkRef> DryRunClient::list_networks() {
  std::vector<NetworkRef> networks = ForwardingClient::list_networks();
  for (const NetworkRef& n : networks) remember(n.id, n.name);
  return networks;
}

std::vector<ContainerRef> DryRunClient::list_containers(bool all) {
  std::vector<ContainerRef> containers = ForwardingClient::list_containers(all);
  for (const ContainerRef& c : containers) remember(c.id, c.name);
  return containers;
}

NetworkRef DryRunClient::create_network(const std::string& name) {
  would("create network " + name);
  NetworkRef made{"dry-run:" + name, name};
  remember(made.id, name);
  return made;
}

void DryRunClient::connect_network(const std::string& network_id, const std::string& container_id,
                                   const std::vector<std::string>& aliases) {
  std::string as;
  for (const std::string& a : aliases) as += (as.empty() ? " as " : ", ") + a;
  would("connect container " + name_of(container_id) + " to network " + name_of(network_id) + as);
}

void DryRunClient::remove_network(const std::string& id) { would("remove network " + name_of(id)); }

VolumeRef DryRunClient::create_volume(const std::string& name, const std::string& driver) {
  would("create volume " + name + " (driver " + driver + ")");
  return VolumeRef{name, driver};
}

void DryRunClient::remove_volume(const std::string& name) { would("remove volume " + name); }

void DryRunClient::remove_image(const std::string& reference, bool force) {
  would("remove image " + reference + (force ? " (forced)" : ""));
}

void DryRunClient::tag_image(const std::string& source, const std::string& repository,
                             const std::string& tag) {
  would("tag image " + source + " as " + repository + ":" + tag);
}

void DryRunClient::pull_image(const std::string& repository, const std::string& tag,
                              const PullProgress&) {
  would("pull " + repository + (tag.rfind("sha256:", 0) == 0 ? "@" : ":") + tag);
}

void DryRunClient::load_images(std::uint64_t length, const ArchiveSource&) {
  would("load images (" + std::to_string(length) + " bytes of image archive)");
}

ContainerRef DryRunClient::create_container(const ContainerSpec& definition) {
  would("create container " + definition.name + " from " + definition.image);
  ContainerRef made{"dry-run:" + definition.name, definition.name, definition.image, "created",
                    definition.labels};
  remember(made.id, definition.name);
  return made;
}

void DryRunClient::start_container(const std::string& id) { would("start container " + name_of(id)); }

void DryRunClient::stop_container(const std::string& id) { would("stop container " + name_of(id)); }

void DryRunClient::remove_container(const std::string& id) {
  would("remove container " + name_of(id));
}

void DryRunClient::rename_container(const std::string& id, const std::string& name) {
  would("rename container " + name_of(id) + " to " + name);
}

void DryRunClient::login(const std::string& username, const std::string&, const std::string& server) {
  would("log in as " + username + (server.empty() ? "" : " to " + server));
}

std::string DryRunClient::push_image(const std::string& repository, const std::string& tag) {
  would("push " + repository + ":" + tag);
  return "";
}

std::vector<ServiceRef> DryRunClient::list_services(const std::string& label_key) {
  std::vector<ServiceRef> services = ForwardingClient::list_services(label_key);
  for (const ServiceRef& s : services) remember(s.id, s.spec.name);
  return services;
}

void DryRunClient::update_node(const SwarmNode& node) {
  std::string labels;
  for (const auto& [key, value] : node.labels) labels += (labels.empty() ? "" : ", ") + key + "=" + value;
  would("set the labels of swarm node " + (node.hostname.empty() ? node.id : node.hostname) +
        " to " + (labels.empty() ? "none" : labels));
}

NetworkRef DryRunClient::create_overlay_network(const std::string& name,
                                                const std::map<std::string, std::string>&) {
  would("create overlay network " + name);
  NetworkRef made{"dry-run:" + name, name};
  remember(made.id, name);
  return made;
}

std::string DryRunClient::create_service(const ServiceSpec& spec) {
  would("create service " + spec.name + " from " + spec.image + " (" +
        std::to_string(spec.replicas) + (spec.replicas == 1 ? " replica)" : " replicas)"));
  remember("dry-run:" + spec.name, spec.name);
  return "dry-run:" + spec.name;
}

void DryRunClient::update_service(const std::string& id, std::uint64_t, const ServiceSpec& spec) {
  would("update service " + (spec.name.empty() ? name_of(id) : spec.name) + " (" +
        std::to_string(spec.replicas) + (spec.replicas == 1 ? " replica, " : " replicas, ") +
        spec.update_order + ")");
}

void DryRunClient::remove_service(const std::string& id) { would("remove service " + name_of(id)); }

}  // namespace bootstrap::docker
