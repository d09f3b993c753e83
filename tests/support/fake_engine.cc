#include "tests/support/fake_engine.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "bootstrap/base/text.h"

namespace bootstrap::testing {

namespace {

// Whether `text` is a CPU list of the engine's syntax ("0-3,5") naming only
// CPUs below `ncpu`, with no range running backwards.
bool valid_cpuset(const std::string& text, int ncpu) {
  auto number = [](const std::string& s, long& value) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= 0;
  };
  std::size_t start = 0;
  while (true) {
    std::size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    std::size_t dash = item.find('-');
    long first = 0;
    long last = 0;
    if (dash == std::string::npos) {
      if (!number(item, first)) return false;
      last = first;
    } else if (!number(item.substr(0, dash), first) || !number(item.substr(dash + 1), last)) {
      return false;
    }
    if (last < first || last >= ncpu) return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

std::string FakeEngine::normalize_image(const std::string& reference) {
  if (reference.find('@') != std::string::npos) return reference;
  std::size_t slash = reference.rfind('/');
  std::size_t colon = reference.find(':', slash == std::string::npos ? 0 : slash + 1);
  return colon == std::string::npos ? reference + ":latest" : reference;
}

void FakeEngine::add_network(const std::string& name, const std::string& id) {
  networks_.push_back({id.empty() ? "id-" + name : id, name});
}

void FakeEngine::add_volume(const std::string& name, const std::string& driver) {
  volumes_.push_back({name, driver});
}

FakeEngine::Container& FakeEngine::add_container(const std::string& name, const std::string& image,
                                                 const std::string& state) {
  Container c;
  c.id = "id-" + name;
  c.name = name;
  c.state = state;
  c.definition.image = image;
  c.definition.name = name;
  containers_.push_back(std::move(c));
  return containers_.back();
}

const FakeEngine::Container* FakeEngine::container(const std::string& name) const {
  for (const Container& c : containers_)
    if (c.name == name) return &c;
  return nullptr;
}

std::vector<std::string> FakeEngine::container_names() const {
  std::vector<std::string> out;
  for (const Container& c : containers_) out.push_back(c.name);
  return out;
}

std::vector<std::string> FakeEngine::network_names() const {
  std::vector<std::string> out;
  for (const docker::NetworkRef& n : networks_) out.push_back(n.name);
  return out;
}

std::vector<std::string> FakeEngine::volume_names() const {
  std::vector<std::string> out;
  for (const docker::VolumeRef& v : volumes_) out.push_back(v.name);
  return out;
}

void FakeEngine::fail_next(const std::string& request_prefix, std::exception_ptr error) {
  one_shot_.emplace_back(request_prefix, std::move(error));
}

void FakeEngine::request(const std::string& line) {
  std::lock_guard<std::mutex> hold(request_mutex_);
  requests_.push_back(line);
  if (!answers_)
    throw docker::ConnectionError(line, "unix:///var/run/docker.sock", "Connection refused");
  for (auto it = one_shot_.begin(); it != one_shot_.end(); ++it) {
    if (line.compare(0, it->first.size(), it->first) != 0) continue;
    std::exception_ptr error = it->second;
    one_shot_.erase(it);
    std::rethrow_exception(error);
  }
  auto always = errors_.find(line);
  if (always != errors_.end()) std::rethrow_exception(always->second);
}

FakeEngine::Container* FakeEngine::find_container(const std::string& id_or_name) {
  for (Container& c : containers_)
    if (c.id == id_or_name || c.name == id_or_name) return &c;
  return nullptr;
}

docker::NetworkRef* FakeEngine::find_network(const std::string& id_or_name) {
  for (docker::NetworkRef& n : networks_)
    if (n.id == id_or_name || n.name == id_or_name) return &n;
  return nullptr;
}

std::vector<docker::VolumeRef>::iterator FakeEngine::find_volume(const std::string& name) {
  return std::find_if(volumes_.begin(), volumes_.end(),
                      [&](const docker::VolumeRef& v) { return v.name == name; });
}

std::string FakeEngine::api_version() {
  request("api version");
  return "1.47";
}

std::vector<docker::NetworkRef> FakeEngine::list_networks() {
  request("list networks");
  return networks_;
}

std::vector<docker::VolumeRef> FakeEngine::list_volumes() {
  request("list volumes");
  return volumes_;
}

std::vector<docker::ContainerRef> FakeEngine::list_containers(bool all) {
  request(all ? "list containers all" : "list containers");
  std::vector<docker::ContainerRef> out;
  for (const Container& c : containers_)
    if (all || c.state == "running")
      out.push_back({c.id, c.name, c.definition.image, c.state, c.definition.labels,
                     c.network_ids});
  return out;
}

docker::NetworkRef FakeEngine::create_network(const std::string& name) {
  const std::string line = "create network " + name;
  request(line);
  if (find_network(name) != nullptr)
    throw docker::ApiError(line, 409, "network with name " + name + " already exists");
  add_network(name);
  return networks_.back();
}

void FakeEngine::connect_network(const std::string& network_id, const std::string& container_id,
                                 const std::vector<std::string>& aliases) {
  docker::NetworkRef* network = find_network(network_id);
  Container* c = find_container(container_id);
  const std::string line = "connect " + (c ? c->name : container_id) + " to " +
                           (network ? network->name : network_id) + " as " + base::join(aliases, ",");
  request(line);
  if (network == nullptr) throw docker::NotFound(line, 404, "network " + network_id + " not found");
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + container_id);
  for (const Membership& m : c->networks)
    if (m.network == network->name)
      throw docker::ApiError(line, 403, "endpoint with name " + c->name +
                                            " already exists in network " + network->name);
  c->networks.push_back({network->name, aliases});
  c->network_ids.push_back(network->id);
}

void FakeEngine::remove_network(const std::string& id) {
  docker::NetworkRef* network = find_network(id);
  const std::string line = "remove network " + (network ? network->name : id);
  request(line);
  if (network == nullptr) throw docker::NotFound(line, 404, "network " + id + " not found");
  // A container joins by id when it has one, so of two networks of one name
  // only the one it joined is in use.
  for (const Container& c : containers_) {
    bool joined = c.network_ids.empty()
                      ? std::any_of(c.networks.begin(), c.networks.end(),
                                    [&](const Membership& m) { return m.network == network->name; })
                      : std::count(c.network_ids.begin(), c.network_ids.end(), network->id) > 0;
    if (joined)
      throw docker::ApiError(line, 403, "error while removing network: network " +
                                            network->name + " id " + network->id +
                                            " has active endpoints");
  }
  const std::string removed_id = network->id;
  std::erase_if(networks_, [&](const docker::NetworkRef& n) { return n.id == removed_id; });
}

docker::VolumeRef FakeEngine::create_volume(const std::string& name, const std::string& driver) {
  request("create volume " + name + " " + driver);
  auto existing = find_volume(name);
  if (existing != volumes_.end()) return *existing;  // the engine answers with the existing one
  add_volume(name, driver);
  return volumes_.back();
}

docker::VolumeRef FakeEngine::get_volume(const std::string& name) {
  const std::string line = "get volume " + name;
  request(line);
  auto found = find_volume(name);
  if (found == volumes_.end()) throw docker::NotFound(line, 404, "get " + name + ": no such volume");
  return *found;
}

void FakeEngine::remove_volume(const std::string& name) {
  const std::string line = "remove volume " + name;
  request(line);
  auto found = find_volume(name);
  if (found == volumes_.end()) throw docker::NotFound(line, 404, "get " + name + ": no such volume");
  for (const Container& c : containers_)
    if (c.definition.binds)
      for (const docker::Bind& b : *c.definition.binds)
        if (b.source == name)
          throw docker::ApiError(line, 409, "remove " + name + ": volume is in use - [" + c.id + "]");
  volumes_.erase(found);
}

std::string FakeEngine::get_image(const std::string& reference) {
  const std::string line = "get image " + reference;
  request(line);
  if (!has_image(reference))
    throw docker::ImageNotFound(line, 404, "No such image: " + reference);
  return "sha256:" + normalize_image(reference);
}

void FakeEngine::remove_image(const std::string& reference, bool force) {
  const std::string line = "remove image " + reference + (force ? " force" : "");
  request(line);
  const std::string key = normalize_image(reference);
  if (images_.count(key) == 0) throw docker::ImageNotFound(line, 404, "No such image: " + reference);
  if (!force)
    for (const Container& c : containers_)
      if (normalize_image(c.definition.image) == key)
        throw docker::ApiError(line, 409, "conflict: unable to remove repository reference \"" +
                                              reference + "\" (must force) - container " + c.id +
                                              " is using its referenced image");
  images_.erase(key);
}

void FakeEngine::tag_image(const std::string& source, const std::string& repository,
                           const std::string& tag) {
  const std::string line = "tag image " + source + " as " + repository + ":" + tag;
  request(line);
  if (!has_image(source)) throw docker::ImageNotFound(line, 404, "No such image: " + source);
  images_.insert(normalize_image(repository + ":" + tag));
}

void FakeEngine::pull_image(const std::string& repository, const std::string& tag,
                            const docker::PullProgress& progress) {
  const bool digest = tag.starts_with("sha256:");
  const std::string reference = repository + (digest ? "@" : ":") + tag;
  const std::string line = "pull " + reference;
  request(line);
  if (private_repositories_.count(repository) && !logged_in_user_)
    throw docker::ApiError(line, 401, "unauthorized: authentication required");
  if (registry_.count(normalize_image(reference)) == 0)
    throw docker::NotFound(line, 404, "pull access denied for " + repository +
                                          ", repository does not exist or may require "
                                          "'docker login': denied: requested access to the "
                                          "resource is denied");
  if (progress) {
    progress({tag, "Pulling from " + repository, std::nullopt, std::nullopt, ""});
    progress({"", "Status: Downloaded newer image for " + reference, std::nullopt, std::nullopt,
              ""});
  }
  images_.insert(normalize_image(reference));
}

void FakeEngine::save_images(const std::vector<std::string>& references,
                             const docker::ArchiveSink& sink) {
  const std::string line = "save images " + base::join(references, " ");
  request(line);
  std::string archive;
  for (const std::string& reference : references) {
    if (!has_image(reference))
      throw docker::ImageNotFound(line, 404, "No such image: " + reference);
    archive += normalize_image(reference) + "\n";
  }
  sink(archive);
}

void FakeEngine::load_images(std::uint64_t length, const docker::ArchiveSource& source) {
  const std::string line = "load images";
  request(line);
  std::string archive;
  char buffer[512];
  while (std::size_t n = source(buffer, sizeof buffer)) archive.append(buffer, n);
  if (archive.size() != length)
    throw docker::ConnectionError(line, "unix:///fake.sock", "the archive ended early");
  std::size_t start = 0;
  for (std::size_t end; (end = archive.find('\n', start)) != std::string::npos; start = end + 1)
    images_.insert(archive.substr(start, end - start));
}

docker::ContainerRef FakeEngine::create_container(const docker::ContainerSpec& definition) {
  const std::string line = "create container " + definition.name;
  request(line);
  if (definition.cpuset_cpus && !valid_cpuset(*definition.cpuset_cpus, ncpu_))
    throw docker::ApiError(line, 400, "Requested CPUs are not available - requested " +
                                          *definition.cpuset_cpus + ", available: 0-" +
                                          std::to_string(ncpu_ - 1));
  if (!has_image(definition.image)) throw docker::ImageNotFound(line, 404, "No such image: " + definition.image);
  if (find_container(definition.name) != nullptr)
    throw docker::ApiError(line, 409, "Conflict. The container name \"/" + definition.name +
                                          "\" is already in use");
  Container c;
  c.id = "id-" + definition.name;
  c.name = definition.name;
  c.state = "created";
  c.definition = definition;
  containers_.push_back(c);
  return {c.id, c.name, "", "", {}};
}

void FakeEngine::start_container(const std::string& id) {
  Container* c = find_container(id);
  const std::string line = "start " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  c->state = "running";
}

void FakeEngine::stop_container(const std::string& id) {
  Container* c = find_container(id);
  const std::string line = "stop " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  if (c->state == "running") c->state = "exited";
}

void FakeEngine::rename_container(const std::string& id, const std::string& name) {
  Container* c = find_container(id);
  const std::string line = "rename " + (c ? c->name : id) + " to " + name;
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  if (find_container(name) != nullptr)
    throw docker::ApiError(line, 409, "Conflict. The container name \"/" + name + "\" is already in use");
  c->name = name;
  c->definition.name = name;
}

void FakeEngine::remove_container(const std::string& id) {
  Container* c = find_container(id);
  const std::string line = "remove container " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  if (c->state == "running")
    throw docker::ApiError(line, 409, "You cannot remove a running container " + c->id +
                                          ". Stop the container before attempting removal or "
                                          "force remove");
  const std::string name = c->name;
  std::erase_if(containers_, [&](const Container& each) { return each.name == name; });
}

docker::ContainerDetails FakeEngine::inspect_container(const std::string& id) {
  Container* c = find_container(id);
  const std::string line = "inspect " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  docker::ContainerDetails details;
  details.status = c->state;
  details.image = c->definition.image;
  details.cpuset_cpus = c->definition.cpuset_cpus.value_or("");
  for (const Membership& m : c->networks) details.networks.push_back(m.network);
  if (c->state == "running" && c->definition.ports)
    for (const auto& [container_port, host_port] : *c->definition.ports)
      details.published_ports[container_port + "/tcp"].push_back(host_port);
  details.running = c->state == "running" || c->state == "restarting";
  details.restarting = c->state == "restarting";
  details.restart_count = c->restart_count;
  details.exit_code = c->exit_code;
  details.started_at = c->started_at;
  details.health = c->health;
  return details;
}

void FakeEngine::container_logs(const std::string& id, const docker::LogOptions& options,
                                const docker::LogSink& sink) {
  Container* c = find_container(id);
  const std::string line = "logs " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  std::size_t skip = 0;
  if (options.tail && static_cast<std::size_t>(*options.tail) < c->log.size())
    skip = c->log.size() - static_cast<std::size_t>(*options.tail);
  for (std::size_t i = skip; i < c->log.size(); ++i) sink(c->log[i].first, c->log[i].second);
}

void FakeEngine::login(const std::string& username, const std::string& password,
                       const std::string& server) {
  const std::string line = "login " + username + (server.empty() ? "" : " at " + server);
  request(line);
  auto user = users_.find(username);
  if (user == users_.end() || user->second != password)
    throw docker::ApiError(line, 401, "unauthorized: incorrect username or password");
  logged_in_user_ = username;
}

std::string FakeEngine::push_image(const std::string& repository, const std::string& tag) {
  const std::string reference = repository + ":" + tag;
  const std::string line = "push " + reference;
  request(line);
  if (!has_image(reference)) throw docker::ImageNotFound(line, 404, "No such image: " + reference);
  registry_.insert(normalize_image(reference));
  return "sha256:" + normalize_image(reference);
}

docker::EngineVersion FakeEngine::version() {
  request("version");
  if (podman_) return {"4.3.1", "1.41", true};
  return {"24.0.7", "1.43"};
}

void FakeEngine::ping() { request("ping"); }

std::string FakeEngine::version_document() {
  request("version");
  return "{\"Version\":\"24.0.7\",\"ApiVersion\":\"1.43\",\"Os\":\"linux\",\"Arch\":\"amd64\"}";
}

docker::EngineInfo FakeEngine::info() {
  request("info");
  docker::EngineInfo result;
  result.ncpu = info_ncpu_.value_or(ncpu_);
  result.mem_total = 8LL << 30;
  result.server_version = "24.0.7";
  result.operating_system = "Fake Linux";
  result.docker_root_dir = "/var/lib/docker";
  return result;
}

std::string FakeEngine::container_document(const std::string& id) {
  Container* c = find_container(id);
  const std::string line = "document container " + (c ? c->name : id);
  request(line);
  if (c == nullptr) throw docker::NotFound(line, 404, "No such container: " + id);
  nlohmann::json env = nlohmann::json::array();
  for (const auto& [key, value] : c->definition.environment.value_or(docker::KeyValues{}))
    env.push_back(key + "=" + value);
  nlohmann::json document = {{"Id", c->id},
                             {"Name", "/" + c->name},
                             {"State", {{"Status", c->state}}},
                             {"Config", {{"Image", c->definition.image}, {"Env", env}}}};
  return document.dump();
}

std::string FakeEngine::network_document(const std::string& id) {
  docker::NetworkRef* network = find_network(id);
  const std::string line = "document network " + (network ? network->name : id);
  request(line);
  if (network == nullptr) throw docker::NotFound(line, 404, "network " + id + " not found");
  return nlohmann::json({{"Name", network->name}, {"Id", network->id}}).dump();
}

std::string FakeEngine::volume_document(const std::string& name) {
  const std::string line = "document volume " + name;
  request(line);
  auto found = find_volume(name);
  if (found == volumes_.end()) throw docker::NotFound(line, 404, "no such volume");
  return nlohmann::json({{"Name", found->name}, {"Driver", found->driver}}).dump();
}

std::string FakeEngine::info_document() {
  request("info document");
  return nlohmann::json({{"NCPU", info_ncpu_.value_or(ncpu_)}, {"DockerRootDir", "/var/lib/docker"}})
      .dump();
}

// --- Swarm mode --------------------------------------------------------------

void FakeEngine::swarm_request(const std::string& line) {
  request(line);
  if (!swarm_.manager)
    throw docker::ApiError(line, 503,
                           "This node is not a swarm manager. Use \"docker swarm init\" or "
                           "\"docker swarm join\" to connect this node to swarm and try again.");
}

docker::ServiceRef* FakeEngine::find_service(const std::string& id_or_name) {
  for (docker::ServiceRef& s : services_)
    if (s.id == id_or_name || s.spec.name == id_or_name) return &s;
  return nullptr;
}

docker::SwarmState FakeEngine::swarm_state() {
  request("info");
  return swarm_;
}

std::vector<docker::SwarmNode> FakeEngine::list_nodes() {
  swarm_request("list nodes");
  return nodes_;
}

void FakeEngine::update_node(const docker::SwarmNode& node) {
  std::string labels;
  for (const auto& [key, value] : node.labels) labels += " " + key + "=" + value;
  const std::string line = "update node " + node.hostname + labels;
  swarm_request(line);
  for (docker::SwarmNode& n : nodes_) {
    if (n.id != node.id) continue;
    if (n.version != node.version)
      throw docker::ApiError(line, 500, "update out of sequence");
    n.labels = node.labels;
    n.role = node.role;
    n.availability = node.availability;
    ++n.version;
    return;
  }
  throw docker::NotFound(line, 404, "node " + node.id + " not found");
}

docker::NetworkRef FakeEngine::create_overlay_network(
    const std::string& name, const std::map<std::string, std::string>& labels) {
  const std::string line = "create overlay network " + name;
  swarm_request(line);
  if (find_network(name) != nullptr)
    throw docker::ApiError(line, 409, "network with name " + name + " already exists");
  add_network(name);
  overlay_labels_[name] = labels;
  return networks_.back();
}

std::string FakeEngine::create_service(const docker::ServiceSpec& spec) {
  const std::string line = "create service " + spec.name;
  swarm_request(line);
  if (find_service(spec.name) != nullptr)
    throw docker::ApiError(line, 409, "rpc error: code = AlreadyExists desc = name conflicts");
  services_.push_back({"id-" + spec.name, 1, spec});
  return services_.back().id;
}

std::vector<docker::ServiceRef> FakeEngine::list_services(const std::string& label_key) {
  swarm_request("list services " + label_key);
  std::vector<docker::ServiceRef> out;
  for (const docker::ServiceRef& s : services_)
    if (s.spec.labels.count(label_key) > 0) out.push_back(s);
  return out;
}

docker::ServiceRef FakeEngine::inspect_service(const std::string& id) {
  docker::ServiceRef* found = find_service(id);
  const std::string line = "inspect service " + (found ? found->spec.name : id);
  swarm_request(line);
  if (found == nullptr) throw docker::NotFound(line, 404, "service " + id + " not found");
  return *found;
}

void FakeEngine::update_service(const std::string& id, std::uint64_t version,
                                const docker::ServiceSpec& spec) {
  docker::ServiceRef* found = find_service(id);
  const std::string line = "update service " + (found ? found->spec.name : id);
  swarm_request(line);
  if (found == nullptr) throw docker::NotFound(line, 404, "service " + id + " not found");
  if (found->version != version) throw docker::ApiError(line, 500, "update out of sequence");
  found->spec = spec;
  ++found->version;
  found->update_state = "completed";
}

void FakeEngine::remove_service(const std::string& id) {
  docker::ServiceRef* found = find_service(id);
  const std::string line = "remove service " + (found ? found->spec.name : id);
  swarm_request(line);
  if (found == nullptr) throw docker::NotFound(line, 404, "service " + id + " not found");
  std::string removed = found->id;
  services_.erase(services_.begin() + (found - services_.data()));
  std::erase_if(tasks_, [&](const docker::TaskRef& t) { return t.service_id == removed; });
}

std::vector<docker::TaskRef> FakeEngine::list_tasks(const std::string& service) {
  swarm_request("list tasks " + service);
  docker::ServiceRef* found = find_service(service);
  std::vector<docker::TaskRef> out;
  if (found == nullptr) return out;
  for (const docker::TaskRef& t : tasks_)
    if (t.service_id == found->id) out.push_back(t);
  return out;
}

std::string FakeEngine::image_digest(const std::string& reference) {
  const std::string line = "digest " + reference;
  request(line);
  auto it = digests_.find(reference);
  if (it == digests_.end())
    throw docker::ImageNotFound(line, 404, "manifest for " + reference + " not found");
  return it->second;
}

}  // namespace bootstrap::testing
