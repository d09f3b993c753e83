#include "bootstrap/docker/swarm_codec.h"

#include <limits>

#include <nlohmann/json.hpp>

#include "bootstrap/docker/engine_json.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

using json = nlohmann::json;
using engine_json::count;
using engine_json::object_at;
using engine_json::text;
using engine_json::unix_time;

// Counts absent from a document read as 0.
std::int64_t number(const std::string& context, const json& object, const char* key) {
  return count(context, object, key).value_or(0);
}

std::uint64_t version_of(const std::string& context, const json& object) {
  return static_cast<std::uint64_t>(
      count(context, object_at(object, "Version"), "Index", 0).value_or(0));
}

int small(std::int64_t n) {
  if (n > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (n < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(n);
}

std::map<std::string, std::string> labels_of(const json& object) {
  std::map<std::string, std::string> labels;
  for (const auto& [key, value] : object_at(object, "Labels").items())
    if (value.is_string()) labels[key] = value.get<std::string>();
  return labels;
}

ServiceSpec spec_from(const std::string& context, const json& spec) {
  ServiceSpec out;
  out.name = text(spec, "Name");
  out.labels = labels_of(spec);
  const json& task = object_at(spec, "TaskTemplate");
  const json& container = object_at(task, "ContainerSpec");
  out.image = text(container, "Image");
  if (container.contains("Args")) out.args = engine_json::texts(container, "Args");
  out.env = engine_json::texts(container, "Env");
  if (auto mounts = container.find("Mounts"); mounts != container.end() && mounts->is_array())
    for (const json& m : *mounts)
      out.mounts.push_back(ServiceMount{text(m, "Type"), text(m, "Source"), text(m, "Target"),
                                        engine_json::flag(m, "ReadOnly")});
  if (auto limits = container.find("Ulimits"); limits != container.end() && limits->is_array())
    for (const json& u : *limits)
      out.ulimits.push_back(Ulimit{text(u, "Name"), number(context, u, "Soft"), number(context, u, "Hard")});
  if (auto networks = task.find("Networks"); networks != task.end() && networks->is_array())
    for (const json& n : *networks)
      out.networks.push_back(ServiceNetwork{text(n, "Target"), engine_json::texts(n, "Aliases")});
  out.restart_condition = text(object_at(task, "RestartPolicy"), "Condition");
  out.nano_cpus = number(context, object_at(object_at(task, "Resources"), "Limits"), "NanoCPUs");
  out.constraints = engine_json::texts(object_at(task, "Placement"), "Constraints");
  std::int64_t force = number(context, task, "ForceUpdate");
  out.force_update = force < 0 ? 0 : static_cast<std::uint64_t>(force);
  std::int64_t replicas = number(context, object_at(object_at(spec, "Mode"), "Replicated"), "Replicas");
  out.replicas = replicas < 0 ? 0 : static_cast<std::uint64_t>(replicas);
  out.update_order = text(object_at(spec, "UpdateConfig"), "Order");
  const json& endpoint = object_at(spec, "EndpointSpec");
  out.endpoint_mode = text(endpoint, "Mode");
  if (auto ports = endpoint.find("Ports"); ports != endpoint.end() && ports->is_array())
    for (const json& p : *ports)
      out.ports.push_back(ServicePort{small(number(context, p, "TargetPort")),
                                      small(number(context, p, "PublishedPort")), text(p, "Protocol"),
                                      text(p, "PublishMode")});
  return out;
}

ServiceRef service_from(const std::string& context, const json& entry) {
  const json& update = object_at(entry, "UpdateStatus");
  return ServiceRef{text(entry, "ID"), version_of(context, entry), spec_from(context, object_at(entry, "Spec")),
                    text(update, "State"), text(update, "Message")};
}

}  // namespace

std::string service_spec_body(const ServiceSpec& spec) {
  json container = {{"Image", spec.image}};
  if (spec.args) container["Args"] = *spec.args;
  if (!spec.env.empty()) container["Env"] = spec.env;
  if (!spec.mounts.empty()) {
    json mounts = json::array();
    for (const ServiceMount& m : spec.mounts)
      mounts.push_back({{"Type", m.type},
                        {"Source", m.source},
                        {"Target", m.target},
                        {"ReadOnly", m.read_only}});
    container["Mounts"] = std::move(mounts);
  }
  if (!spec.ulimits.empty()) {
    json limits = json::array();
    for (const Ulimit& u : spec.ulimits)
      limits.push_back({{"Name", u.name}, {"Soft", u.soft}, {"Hard", u.hard}});
    container["Ulimits"] = std::move(limits);
  }
  json task = {{"ContainerSpec", std::move(container)},
               {"RestartPolicy", {{"Condition", spec.restart_condition}}},
               {"ForceUpdate", spec.force_update}};
  if (spec.nano_cpus > 0) task["Resources"] = {{"Limits", {{"NanoCPUs", spec.nano_cpus}}}};
  if (!spec.constraints.empty()) task["Placement"] = {{"Constraints", spec.constraints}};
  if (!spec.networks.empty()) {
    json networks = json::array();
    for (const ServiceNetwork& n : spec.networks)
      networks.push_back({{"Target", n.target}, {"Aliases", n.aliases}});
    task["Networks"] = std::move(networks);
  }
  json endpoint = {{"Mode", spec.endpoint_mode}};
  if (!spec.ports.empty()) {
    json ports = json::array();
    for (const ServicePort& p : spec.ports)
      ports.push_back({{"Protocol", p.protocol},
                       {"TargetPort", p.target},
                       {"PublishedPort", p.published},
                       {"PublishMode", p.mode}});
    endpoint["Ports"] = std::move(ports);
  }
  json body = {{"Name", spec.name},
               {"Labels", spec.labels},
               {"TaskTemplate", std::move(task)},
               {"Mode", {{"Replicated", {{"Replicas", spec.replicas}}}}},
               // One task at a time, and a failing new task stops the roll
               // rather than replacing every good one.
               {"UpdateConfig",
                {{"Parallelism", 1}, {"Order", spec.update_order}, {"FailureAction", "pause"}}},
               {"EndpointSpec", std::move(endpoint)}};
  return engine_json::dump(body);
}

std::string node_spec_body(const SwarmNode& node) {
  json spec = {{"Labels", node.labels}, {"Role", node.role}, {"Availability", node.availability}};
  if (!node.name.empty()) spec["Name"] = node.name;
  return engine_json::dump(spec);
}

SwarmState read_swarm_state(const std::string& context, const std::string& info) {
  const json answer = engine_json::parse(context, info);
  engine_json::require_object(context, answer);
  const json& swarm = object_at(answer, "Swarm");
  SwarmState state;
  state.node_id = text(swarm, "NodeID");
  state.local_state = text(swarm, "LocalNodeState");
  state.manager = engine_json::flag(swarm, "ControlAvailable");
  state.error = text(swarm, "Error");
  return state;
}

std::vector<SwarmNode> read_nodes(const std::string& context, const std::string& answer) {
  std::vector<SwarmNode> nodes;
  // The parsed answer must outlive the loop: list() only looks at it.
  const json parsed = engine_json::parse(context, answer);
  for (const json& entry : engine_json::require_list(context, parsed)) {
    const json& spec = object_at(entry, "Spec");
    const json& status = object_at(entry, "Status");
    nodes.push_back(SwarmNode{text(entry, "ID"), version_of(context, entry),
                              text(object_at(entry, "Description"), "Hostname"),
                              text(spec, "Name"), text(spec, "Role"), text(spec, "Availability"),
                              text(status, "State"), text(status, "Addr"), labels_of(spec)});
  }
  return nodes;
}

ServiceRef read_service(const std::string& context, const std::string& answer) {
  const json parsed = engine_json::parse(context, answer);
  engine_json::require_object(context, parsed);
  return service_from(context, parsed);
}

std::vector<ServiceRef> read_services(const std::string& context, const std::string& answer) {
  std::vector<ServiceRef> services;
  const json parsed = engine_json::parse(context, answer);
  for (const json& entry : engine_json::require_list(context, parsed))
    services.push_back(service_from(context, entry));
  return services;
}

std::vector<TaskRef> read_tasks(const std::string& context, const std::string& answer) {
  std::vector<TaskRef> tasks;
  const json parsed = engine_json::parse(context, answer);
  for (const json& entry : engine_json::require_list(context, parsed)) {
    const json& status = object_at(entry, "Status");
    tasks.push_back(TaskRef{text(entry, "ID"), text(entry, "ServiceID"), text(entry, "NodeID"),
                            small(number(context, entry, "Slot")), text(entry, "DesiredState"),
                            text(status, "State"), text(status, "Message"), text(status, "Err"),
                            small(number(context, object_at(status, "ContainerStatus"), "ExitCode")),
                            unix_time(text(status, "Timestamp"))});
  }
  return tasks;
}

}  // namespace bootstrap::docker
