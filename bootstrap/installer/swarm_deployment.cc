#include "bootstrap/installer/swarm_deployment.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "bootstrap/base/text.h"
#include "bootstrap/crypto/digest.h"
#include "bootstrap/docker/command_split.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/swarm_codec.h"
#include "bootstrap/installer/registry.h"
#include "bootstrap/installer/swarm_placement.h"

namespace bootstrap::installer {

namespace {

using std::chrono::seconds;

// How many failed tasks make a service one whose tasks keep failing: one
// failure may be a node's hiccup that the engine's retry cures.
constexpr std::size_t kFailedTasks = 2;
constexpr seconds kNetworkRemovalWait{60};

// The digest covers what the catalogue defines. The replica count belongs to
// scaling, and the update order to the swarm's size: neither may make an
// install roll the tasks over.
std::string service_definition_digest(docker::ServiceSpec spec) {
  spec.replicas = 0;
  spec.update_order.clear();
  spec.labels.erase(kDefinitionLabel);
  return crypto::sha256_hex(docker::service_spec_body(spec));
}

// A swarm restart condition for a restart policy: the engine's "always" and
// "unless-stopped" both mean "any" (a swarm has no stopping by hand), and no
// policy is the engine's "no", where a swarm would restart.
std::string restart_condition(const std::optional<std::string>& policy) {
  if (!policy || *policy == "no") return "none";
  if (policy->rfind("on-failure", 0) == 0) return "on-failure";
  return "any";
}

// A port as a service publishes it: the number and the protocol ("5000/udp"
// gives 5000 and udp). Throws std::invalid_argument.
std::pair<int, std::string> port_and_protocol(const std::string& port) {
  const std::size_t slash = port.find('/');
  const std::string number = port.substr(0, slash);
  const std::string protocol = slash == std::string::npos ? "tcp" : port.substr(slash + 1);
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string::npos || std::stoi(number) > 65535)
    throw std::invalid_argument("port \"" + port + "\" is not a number a swarm can publish");
  return {std::stoi(number), protocol};
}

// The image part of a pinned reference: "lmdx2/app@sha256:..." -> "lmdx2/app".
std::string unpinned(const std::string& image) { return image.substr(0, image.find('@')); }

bool failed(const docker::TaskRef& task) {
  return task.state == "failed" || task.state == "rejected";
}

bool running(const docker::TaskRef& task) {
  return task.state == "running" && task.desired_state == "running";
}

std::string task_problem(const docker::TaskRef& task) {
  std::string why = task.error.empty() ? task.message : task.error;
  return task.state + (why.empty() ? "" : ": " + why);
}

bool of_application(const docker::ServiceRef& service, const std::string& application) {
  auto label = service.spec.labels.find(kApplicationLabel);
  return label != service.spec.labels.end() && label->second == application;
}

void sleep_a_second() { std::this_thread::sleep_for(std::chrono::seconds(1)); }

// A node's version moves on its own (status reports, task changes), so the
// manager may refuse a label change made against the version just read with
// "update out of sequence": read the node again and apply the same labels.
void set_node_labels(docker::Client& client, const docker::SwarmNode& wanted) {
  docker::SwarmNode attempt = wanted;
  for (int tries = 1;; ++tries) {
    try {
      client.update_node(attempt);
      return;
    } catch (const docker::ApiError& e) {
      if (tries == 5 || e.message().find("out of sequence") == std::string::npos) throw;
    }
    for (const docker::SwarmNode& node : client.list_nodes())
      if (node.id == wanted.id) attempt.version = node.version;
  }
}

}  // namespace

SwarmDeployment::SwarmDeployment(std::string application, const ServiceList& services,
                                 docker::Client& client, std::ostream& out)
    : layout_(std::move(application), services, [this] { return cpu_count(); }),
      client_(client),
      out_(out) {}

void SwarmDeployment::doing(const std::string& line) {
  // A describing client announces the change itself ("would create ...").
  if (!describe_only) out_ << line << std::endl;
}

unsigned SwarmDeployment::cpu_count() {
  if (cpu_count_ == 0) cpu_count_ = static_cast<unsigned>(std::max(client_.info().ncpu, 1));
  return cpu_count_;
}

bool SwarmDeployment::installed(docker::Client& client, const std::string& application) {
  if (!client.swarm_state().manager) return false;
  for (const docker::ServiceRef& s : client.list_services(kApplicationLabel))
    if (of_application(s, application)) return true;
  return false;
}

docker::ServiceSpec swarm_service_spec(const Layout& layout, const ServiceDescription& service,
                                       const SwarmOptions& options) {
  ContainerDefinition d = layout.definition(service);
  const docker::ContainerSpec& request = d.request;
  docker::ServiceSpec spec;
  spec.name = request.name;
  spec.labels[kApplicationLabel] = layout.application();
  spec.image = request.image;
  if (request.command) spec.args = docker::split_command(*request.command);
  for (const auto& [key, value] : request.environment.value_or(docker::KeyValues{})) {
    // The replicas of one service are its workers: each task names itself
    // after its slot, as a scaled worker does on one host.
    if (key == "WNAME")
      spec.env.push_back(key + "={{if eq .Task.Slot \"1\"}}" + value + "{{else}}" + service.name +
                         "_{{.Task.Slot}}{{end}}");
    else
      spec.env.push_back(key + "=" + value);
  }
  for (const docker::Bind& bind : request.binds.value_or(std::vector<docker::Bind>{}))
    spec.mounts.push_back({bind.source.front() == '/' ? "bind" : "volume", bind.source,
                           bind.target, bind.mode == "ro"});
  spec.ulimits = request.ulimits.value_or(std::vector<docker::Ulimit>{});
  for (const NetworkJoin& join : d.networks) spec.networks.push_back({join.network, join.aliases});
  spec.restart_condition = restart_condition(request.restart_policy);
  if (request.cpuset_cpus)
    spec.nano_cpus = static_cast<std::int64_t>(cpus_in(*request.cpuset_cpus)) * 1'000'000'000;
  // A task that keeps data must be gone before its successor opens the same
  // volume; one without data can be replaced while it still serves.
  const bool stateful = keeps_data(d);
  if (stateful) spec.constraints.push_back(placement_constraint(layout, service.name));
  spec.update_order = stateful ? "stop-first" : "start-first";
  spec.endpoint_mode = options.routing_mesh ? "vip" : "dnsrr";
  for (const auto& [container_port, host_port] : request.ports.value_or(docker::KeyValues{})) {
    const auto [target, protocol] = port_and_protocol(container_port);
    spec.ports.push_back({target, port_and_protocol(host_port).first, protocol,
                          options.routing_mesh ? "ingress" : "host"});
  }
  if (!layout.registry().empty()) spec.labels[kRegistryLabel] = layout.registry();
  spec.labels[kDefinitionLabel] = service_definition_digest(spec);
  return spec;
}

docker::ServiceSpec SwarmDeployment::service_spec(const ServiceDescription& service,
                                                  unsigned cpu_count,
                                                  const SwarmOptions& options) const {
  return swarm_service_spec(Layout(layout_.application(), layout_.services(), cpu_count), service,
                            options);
}

void SwarmDeployment::require_manager() {
  docker::SwarmState state = client_.swarm_state();
  if (state.manager) return;
  std::string where = state.local_state == "active"
                          ? "this engine is a worker of a swarm; run bootstrap on one of its managers"
                          : "this engine is not part of a swarm; make it the first manager of one "
                            "with `docker swarm init`, and add the other hosts with the "
                            "`docker swarm join` command it prints";
  throw SwarmRefusal("nothing was changed: " + where);
}

std::map<std::string, std::string> SwarmDeployment::node_names() {
  std::map<std::string, std::string> names;
  for (const docker::SwarmNode& node : client_.list_nodes()) names[node.id] = node.hostname;
  return names;
}

void SwarmDeployment::fit_update_order(std::vector<docker::ServiceSpec>& specs) {
  std::size_t usable = 0;
  for (const docker::SwarmNode& n : client_.list_nodes())
    if (n.state == "ready" && n.availability == "active") ++usable;
  if (usable >= 2) return;
  for (docker::ServiceSpec& spec : specs) {
    bool host_port = std::any_of(spec.ports.begin(), spec.ports.end(),
                                 [](const docker::ServicePort& p) { return p.mode == "host"; });
    if (!host_port || spec.update_order != "start-first") continue;
    // The new task would wait for a node whose port is free, and there is none.
    out_ << "note: " << spec.name
         << " updates stop-first: its port is published on its node, and no second node can "
            "take the new task"
         << std::endl;
    spec.update_order = "stop-first";
  }
}

SwarmOptions SwarmDeployment::current_options() {
  SwarmOptions options;
  for (const docker::ServiceRef& s : client_.list_services(kApplicationLabel))
    if (of_application(s, layout_.application()) && s.spec.endpoint_mode == "vip" && !s.spec.ports.empty())
      options.routing_mesh = true;
  return options;
}

void SwarmDeployment::install(const SwarmOptions& options) {
  require_manager();
  changed_.clear();

  // Everything that can refuse the install is checked before the first change.
  for (const docker::ContainerRef& c : client_.list_containers(true))
    for (const ServiceDescription& s : layout_.services())
      if (layout_.belongs_to(s.name, c.name))
        throw SwarmRefusal("nothing was changed: " + layout_.application() +
                           " runs on this engine as containers (" + c.name +
                           "); `bootstrap uninstall` them first");
  std::vector<docker::ServiceSpec> specs;
  for (const ServiceDescription& s : layout_.services())
    specs.push_back(service_spec(s, cpu_count(), options));
  fit_update_order(specs);
  // Nodes pull for themselves: pinned, each runs exactly the image the
  // registry holds now, and the manager sends them the credentials.
  if (!layout_.registry().empty()) pin_digests(specs);
  std::vector<docker::SwarmNode> nodes = client_.list_nodes();
  const std::string manager = client_.swarm_state().node_id;
  auto find_node = [&](const std::string& name) -> docker::SwarmNode* {
    for (docker::SwarmNode& n : nodes)
      if (n.id == name || n.hostname == name || (!n.name.empty() && n.name == name)) return &n;
    return nullptr;
  };
  std::map<std::string, std::string> pins;  // placement label -> node id
  for (const ServiceDescription& s : layout_.services()) {
    auto asked = options.placements.find(s.name);
    if (!keeps_data(layout_.definition(s))) {
      if (asked != options.placements.end())
        throw SwarmRefusal("nothing was changed: " + s.name +
                           " keeps no data, so it is not placed: it runs on any node");
      continue;
    }
    std::string node_id = manager;
    if (asked != options.placements.end()) {
      docker::SwarmNode* node = find_node(asked->second);
      if (node == nullptr)
        throw SwarmRefusal("nothing was changed: the swarm has no node \"" + asked->second + "\"");
      node_id = node->id;
    }
    pins[placement_label(layout_, s.name)] = node_id;
  }
  for (const auto& placement : options.placements) {
    const std::string& service = placement.first;
    if (std::none_of(layout_.services().begin(), layout_.services().end(),
                     [&](const ServiceDescription& s) { return s.name == service; }))
      throw SwarmRefusal("nothing was changed: there is no service \"" + service + "\"");
  }

  bool limited = false;
  for (const ServiceDescription& s : layout_.services()) limited = limited || s.cpuset.has_value();
  if (limited)
    out_ << "note: swarm services have no CPU sets; each service's CPU set is applied as a CPU "
            "limit of as many CPUs instead (for "
         << cpu_count() << " CPUs)" << std::endl;

  std::set<std::string> existing;
  for (const docker::NetworkRef& n : client_.list_networks()) existing.insert(n.name);
  for (const LayoutObject& network : layout_.networks()) {
    if (existing.count(network.name) > 0) continue;
    doing("creating overlay network " + network.name);
    client_.create_overlay_network(network.name, {{kApplicationLabel, layout_.application()}});
  }

  // One update per node that needs one: a node's version moves with each.
  for (docker::SwarmNode& node : nodes) {
    docker::SwarmNode wanted = node;
    for (const auto& [label, node_id] : pins) {
      if (node.id == node_id) {
        wanted.labels[label] = "true";
      } else if (wanted.labels.erase(label) > 0) {
        doing("moving the placement " + label + " away from node " + node.hostname +
              ": data it keeps there stays there");
      }
    }
    if (wanted.labels == node.labels) continue;
    for (const auto& [label, node_id] : pins)
      if (node.id == node_id && node.labels.count(label) == 0)
        doing("placing " + label.substr(label.rfind('.') + 1) + " on node " + node.hostname);
    set_node_labels(client_, wanted);
  }

  apply(specs, /*updating=*/false);
}

void SwarmDeployment::pin_digests(std::vector<docker::ServiceSpec>& specs) {
  std::map<std::string, std::string> pinned;  // reference -> reference@digest
  for (docker::ServiceSpec& spec : specs) {
    const std::string image = unpinned(spec.image);
    if (pinned.count(image) == 0) {
      try {
        pinned[image] = image + "@" + client_.image_digest(image);
      } catch (const docker::EngineError& e) {
        throw std::runtime_error(std::string("nothing was changed: ") + e.what());
      }
    }
    spec.image = pinned.at(image);
    spec.labels[kDefinitionLabel] = service_definition_digest(spec);
  }
}

void SwarmDeployment::update() {
  require_manager();
  changed_.clear();
  const SwarmOptions options = current_options();
  std::map<std::string, std::string> pinned;  // reference -> reference@digest
  for (const ServiceDescription& s : layout_.services()) {
    if (pinned.count(s.image) > 0) continue;
    try {
      pinned[s.image] = s.image + "@" + client_.image_digest(s.image);
    } catch (const docker::EngineError& e) {
      throw std::runtime_error(std::string("nothing was changed: ") + e.what());
    }
  }
  std::vector<docker::ServiceSpec> specs;
  for (const ServiceDescription& s : layout_.services()) {
    docker::ServiceSpec spec = service_spec(s, cpu_count(), options);
    spec.image = pinned.at(s.image);
    spec.labels[kDefinitionLabel] = service_definition_digest(spec);
    specs.push_back(std::move(spec));
  }
  fit_update_order(specs);
  apply(specs, /*updating=*/true);
}

void SwarmDeployment::apply(std::vector<docker::ServiceSpec>& specs, bool updating) {
  std::map<std::string, docker::ServiceRef> current;
  for (docker::ServiceRef& s : client_.list_services(kApplicationLabel))
    if (of_application(s, layout_.application())) current[s.spec.name] = std::move(s);
  for (docker::ServiceSpec& spec : specs) {
    auto found = current.find(spec.name);
    if (found == current.end()) {
      doing("creating service " + spec.name);
      client_.create_service(spec);
      changed_.push_back(spec.name);
      continue;
    }
    const docker::ServiceRef& now = found->second;
    // An image an update pinned to its digest stays pinned while the
    // catalogue names the same reference.
    if (!updating && unpinned(now.spec.image) == spec.image && now.spec.image != spec.image) {
      spec.image = now.spec.image;
      spec.labels[kDefinitionLabel] = service_definition_digest(spec);
    }
    auto label = now.spec.labels.find(kDefinitionLabel);
    if (label != now.spec.labels.end() && label->second == spec.labels[kDefinitionLabel]) {
      if (updating) out_ << "service " << spec.name << " is up to date" << std::endl;
      continue;
    }
    doing("updating service " + spec.name +
          (updating ? " (" + spec.update_order + ")" : ": its definition changed"));
    spec.replicas = now.spec.replicas;
    client_.update_service(now.id, now.version, spec);
    changed_.push_back(spec.name);
  }
}

void SwarmDeployment::scale(const std::string& service, int replicas) {
  require_manager();
  changed_.clear();
  const std::string name = layout_.name_of(service);
  for (const docker::ServiceRef& s : client_.list_services(kApplicationLabel)) {
    if (s.spec.name != name) continue;
    docker::ServiceSpec spec = s.spec;
    spec.replicas = static_cast<std::uint64_t>(replicas);
    doing("scaling service " + name + " to " + std::to_string(replicas) +
          (replicas == 1 ? " replica" : " replicas"));
    client_.update_service(s.id, s.version, spec);
    changed_.push_back(name);
    return;
  }
  throw SwarmRefusal("nothing was changed: the swarm has no service " + name);
}

void SwarmDeployment::uninstall() {
  require_manager();
  changed_.clear();
  for (const docker::ServiceRef& s : client_.list_services(kApplicationLabel)) {
    if (!of_application(s, layout_.application())) continue;
    doing("removing service " + s.spec.name);
    client_.remove_service(s.id);
    changed_.push_back(s.spec.name);
  }
  std::set<std::string> existing;
  for (const docker::NetworkRef& n : client_.list_networks()) existing.insert(n.name);
  for (const LayoutObject& network : layout_.networks()) {
    if (existing.count(network.name) == 0) continue;
    doing("removing overlay network " + network.name);
    // The tasks of a removed service leave its networks only as their
    // containers stop.
    auto deadline = std::chrono::steady_clock::now() + kNetworkRemovalWait;
    while (true) {
      try {
        client_.remove_network(network.name);
        break;
      } catch (const docker::NotFound&) {
        break;
      } catch (const docker::ApiError&) {
        if (std::chrono::steady_clock::now() >= deadline) throw;
        sleep_a_second();
      }
    }
  }
  // The manager forgets a removed network at once, its engines' own copies
  // a few seconds later, as their last tasks stop; done means gone from both.
  auto deadline = std::chrono::steady_clock::now() + kNetworkRemovalWait;
  while (!describe_only && std::chrono::steady_clock::now() < deadline) {
    bool left = false;
    for (const docker::NetworkRef& n : client_.list_networks())
      for (const LayoutObject& network : layout_.networks()) left = left || n.name == network.name;
    if (!left) break;
    sleep_a_second();
  }
  const std::string prefix = "io.kestro.place." + layout_.application() + "-";
  for (const docker::SwarmNode& node : client_.list_nodes()) {
    docker::SwarmNode wanted = node;
    std::erase_if(wanted.labels, [&](const auto& label) { return label.first.rfind(prefix, 0) == 0; });
    if (wanted.labels != node.labels) set_node_labels(client_, wanted);
  }
  out_ << "volumes stay on the nodes that hold them" << std::endl;
}

void SwarmDeployment::watch(const SettleOptions& options, Timer& timer) {
  if (options.settle <= seconds{0} || changed_.empty()) return;
  out_ << "checking that " << changed_.size()
       << (changed_.size() == 1 ? " service comes up and stays" : " services come up and stay")
       << " up ("
       << options.settle.count() << " s)" << std::endl;
  // Tasks that had failed before the watch are history.
  std::set<std::string> old_failures;
  for (const std::string& name : changed_)
    for (const docker::TaskRef& t : client_.list_tasks(name))
      if (failed(t)) old_failures.insert(t.id);

  const auto started = timer.now();
  const auto limit = std::max(options.settle, options.wait_timeout);
  std::map<std::string, std::uint64_t> desired;
  while (true) {
    std::vector<std::string> failing, waiting;
    std::vector<std::vector<docker::TaskRef>> failures;
    std::map<std::string, std::vector<docker::TaskRef>> tasks;
    // A rolling update keeps the replica count all along; only the service
    // tells when the last task has been replaced, or that it stopped.
    std::map<std::string, docker::ServiceRef> services;
    for (docker::ServiceRef& s : client_.list_services(kApplicationLabel)) {
      desired[s.spec.name] = s.spec.replicas;
      services[s.spec.name] = std::move(s);
    }
    for (const std::string& name : changed_) {
      std::vector<docker::TaskRef>& mine = tasks[name];
      mine = client_.list_tasks(name);
      std::vector<docker::TaskRef> bad;
      std::uint64_t up = 0;
      for (const docker::TaskRef& t : mine) {
        if (failed(t) && old_failures.count(t.id) == 0) bad.push_back(t);
        if (running(t)) ++up;
      }
      const std::string& rolling = services[name].update_state;
      if (bad.size() >= kFailedTasks || rolling == "paused" || rolling.rfind("rollback", 0) == 0) {
        failing.push_back(name);
        failures.push_back(std::move(bad));
      } else if (up != desired[name] || rolling == "updating") {
        waiting.push_back(name);
      }
    }
    const auto waited = timer.now() - started;
    if (failing.empty() && waiting.empty() && waited >= options.settle) return;
    if (!failing.empty() || waited >= limit) {
      std::map<std::string, std::string> nodes = node_names();
      auto on = [&](const docker::TaskRef& t) {
        return t.node_id.empty() ? std::string() : " on " + (nodes.count(t.node_id) ? nodes[t.node_id] : t.node_id);
      };
      for (std::size_t i = 0; i < failing.size(); ++i) {
        const docker::ServiceRef& service = services[failing[i]];
        if (service.update_state == "paused" || service.update_state.rfind("rollback", 0) == 0)
          out_ << failing[i] << ": its update stopped (" << service.update_state << ": "
               << base::printable(service.update_message) << ")" << std::endl;
        else
          out_ << failing[i] << ": " << failures[i].size() << " tasks failed" << std::endl;
        std::sort(failures[i].begin(), failures[i].end(),
                  [](const docker::TaskRef& a, const docker::TaskRef& b) {
                    return a.updated_at > b.updated_at;
                  });
        for (std::size_t k = 0; k < failures[i].size() && k < 3; ++k)
          out_ << "  task " << failures[i][k].slot << on(failures[i][k]) << ": "
               << base::printable(task_problem(failures[i][k])) << std::endl;
      }
      if (failing.empty())
        for (const std::string& name : waiting) {
          out_ << name << " did not reach " << desired[name] << " running "
               << (desired[name] == 1 ? "task" : "tasks") << std::endl;
          for (const docker::TaskRef& t : tasks[name])
            if (t.desired_state == "running" && !running(t))
              out_ << "  task " << t.slot << on(t) << ": " << base::printable(task_problem(t))
                   << std::endl;
        }
      std::vector<std::string> named = failing.empty() ? waiting : failing;
      std::string list;
      for (const std::string& n : named) list += (list.empty() ? "" : ", ") + n;
      throw SettleFailure(failing.empty() ? "not every service came up in time: " + list
                                          : "tasks keep failing: " + list);
    }
    timer.sleep(std::chrono::milliseconds(1000));
  }
}

bool SwarmStatus::all_running() const {
  return std::all_of(services.begin(), services.end(), [](const SwarmServiceStatus& s) {
    return s.present && s.running == s.desired;
  });
}

SwarmStatus gather_swarm_status(docker::Client& client, const std::string& application,
                                const ServiceList& services) {
  Layout layout(application, services);
  SwarmStatus status;
  std::map<std::string, docker::ServiceRef> current;
  for (docker::ServiceRef& s : client.list_services(kApplicationLabel))
    current[s.spec.name] = std::move(s);
  std::map<std::string, std::string> nodes;
  for (const docker::SwarmNode& node : client.list_nodes()) nodes[node.id] = node.hostname;
  for (const ServiceDescription& s : services) {
    SwarmServiceStatus row;
    row.service = layout.name_of(s.name);
    auto found = current.find(row.service);
    if (found != current.end()) {
      row.present = true;
      row.desired = found->second.spec.replicas;
      row.image = unpinned(found->second.spec.image);
      std::int64_t newest = -1;
      for (const docker::TaskRef& t : client.list_tasks(row.service)) {
        if (running(t)) {
          ++row.running;
          row.nodes.push_back(nodes.count(t.node_id) ? nodes[t.node_id] : t.node_id);
        } else if (failed(t) && t.updated_at > newest) {
          newest = t.updated_at;
          row.problem = task_problem(t);
        }
      }
      std::sort(row.nodes.begin(), row.nodes.end());
    }
    status.services.push_back(std::move(row));
  }
  std::set<std::string> existing;
  for (const docker::NetworkRef& n : client.list_networks()) existing.insert(n.name);
  for (const LayoutObject& network : layout.networks())
    status.networks.emplace_back(network.name, existing.count(network.name) > 0);
  return status;
}

}  // namespace bootstrap::installer
