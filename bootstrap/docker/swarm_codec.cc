#include "bootstrap/docker/swarm_codec.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include <nlohmann/json.hpp>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker {

namespace {

using json = nlohmann::json;

const json& none() {
  static const json empty = json::object();
  return empty;
}

const json& object_at(const json& parent, const char* key) {
  if (!parent.is_object()) return none();
  auto it = parent.find(key);
  return it != parent.end() && it->is_object() ? *it : none();
}

std::string text(const json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Counts that are not whole numbers within range read as 0: they only
// inform (versions, slots, exit codes), and a garbled one must not lose the
// rest of the document.
std::int64_t number(const json& object, const char* key) {
  if (!object.is_object()) return 0;
  auto it = object.find(key);
  if (it == object.end()) return 0;
  if (it->is_number_unsigned()) {
    std::uint64_t n = it->get<std::uint64_t>();
    return n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(n);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  return 0;
}

std::uint64_t version_of(const json& object) {
  std::int64_t index = number(object_at(object, "Version"), "Index");
  return index < 0 ? 0 : static_cast<std::uint64_t>(index);
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

std::vector<std::string> strings(const json& object, const char* key) {
  std::vector<std::string> out;
  if (!object.is_object()) return out;
  auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return out;
  for (const json& entry : *it)
    if (entry.is_string()) out.push_back(entry.get<std::string>());
  return out;
}

json parse(const std::string& context, const std::string& body) {
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded())
    throw MalformedAnswer(context + ": the engine's answer is not JSON: " +
                          std::string(base::trim(body)).substr(0, 200));
  return parsed;
}

const json& list(const std::string& context, const json& value) {
  if (!value.is_array()) throw EngineError(context + ": the engine's answer is not a list");
  return value;
}

// "2024-05-01T10:00:00.123456789Z" -> unix seconds; anything else -> 0.
std::int64_t unix_time(const std::string& stamp) {
  std::tm parts{};
  int year = 0, month = 0;
  if (std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6 ||
      year < 1970)
    return 0;
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  return ::timegm(&parts);
}

ServiceSpec spec_from(const json& spec) {
  ServiceSpec out;
  out.name = text(spec, "Name");
  out.labels = labels_of(spec);
  const json& task = object_at(spec, "TaskTemplate");
  const json& container = object_at(task, "ContainerSpec");
  out.image = text(container, "Image");
  if (container.contains("Args")) out.args = strings(container, "Args");
  out.env = strings(container, "Env");
  if (auto mounts = container.find("Mounts"); mounts != container.end() && mounts->is_array())
    for (const json& m : *mounts) {
      auto ro = m.find("ReadOnly");
      out.mounts.push_back(ServiceMount{text(m, "Type"), text(m, "Source"), text(m, "Target"),
                                        ro != m.end() && ro->is_boolean() && ro->get<bool>()});
    }
  if (auto limits = container.find("Ulimits"); limits != container.end() && limits->is_array())
    for (const json& u : *limits)
      out.ulimits.push_back(Ulimit{text(u, "Name"), number(u, "Soft"), number(u, "Hard")});
  if (auto networks = task.find("Networks"); networks != task.end() && networks->is_array())
    for (const json& n : *networks)
      out.networks.push_back(ServiceNetwork{text(n, "Target"), strings(n, "Aliases")});
  out.restart_condition = text(object_at(task, "RestartPolicy"), "Condition");
  out.nano_cpus = number(object_at(object_at(task, "Resources"), "Limits"), "NanoCPUs");
  out.constraints = strings(object_at(task, "Placement"), "Constraints");
  std::int64_t force = number(task, "ForceUpdate");
  out.force_update = force < 0 ? 0 : static_cast<std::uint64_t>(force);
  std::int64_t replicas = number(object_at(object_at(spec, "Mode"), "Replicated"), "Replicas");
  out.replicas = replicas < 0 ? 0 : static_cast<std::uint64_t>(replicas);
  out.update_order = text(object_at(spec, "UpdateConfig"), "Order");
  const json& endpoint = object_at(spec, "EndpointSpec");
  out.endpoint_mode = text(endpoint, "Mode");
  if (auto ports = endpoint.find("Ports"); ports != endpoint.end() && ports->is_array())
    for (const json& p : *ports)
      out.ports.push_back(ServicePort{small(number(p, "TargetPort")),
                                      small(number(p, "PublishedPort")), text(p, "Protocol"),
                                      text(p, "PublishMode")});
  return out;
}

ServiceRef service_from(const json& entry) {
  const json& update = object_at(entry, "UpdateStatus");
  return ServiceRef{text(entry, "ID"), version_of(entry), spec_from(object_at(entry, "Spec")),
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
  return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string node_spec_body(const SwarmNode& node) {
  json spec = {{"Labels", node.labels}, {"Role", node.role}, {"Availability", node.availability}};
  if (!node.name.empty()) spec["Name"] = node.name;
  return spec.dump(-1, ' ', false, json::error_handler_t::replace);
}

SwarmState read_swarm_state(const std::string& context, const std::string& info) {
  json answer = parse(context, info);
  if (!answer.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  const json& swarm = object_at(answer, "Swarm");
  SwarmState state;
  state.node_id = text(swarm, "NodeID");
  state.local_state = text(swarm, "LocalNodeState");
  auto control = swarm.find("ControlAvailable");
  state.manager = control != swarm.end() && control->is_boolean() && control->get<bool>();
  state.error = text(swarm, "Error");
  return state;
}

std::vector<SwarmNode> read_nodes(const std::string& context, const std::string& answer) {
  std::vector<SwarmNode> nodes;
  // The parsed answer must outlive the loop: list() only looks at it.
  const json parsed = parse(context, answer);
  for (const json& entry : list(context, parsed)) {
    const json& spec = object_at(entry, "Spec");
    const json& status = object_at(entry, "Status");
    nodes.push_back(SwarmNode{text(entry, "ID"), version_of(entry),
                              text(object_at(entry, "Description"), "Hostname"),
                              text(spec, "Name"), text(spec, "Role"), text(spec, "Availability"),
                              text(status, "State"), text(status, "Addr"), labels_of(spec)});
  }
  return nodes;
}

ServiceRef read_service(const std::string& context, const std::string& answer) {
  json parsed = parse(context, answer);
  if (!parsed.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  return service_from(parsed);
}

std::vector<ServiceRef> read_services(const std::string& context, const std::string& answer) {
  std::vector<ServiceRef> services;
  const json parsed = parse(context, answer);
  for (const json& entry : list(context, parsed))
    services.push_back(service_from(entry));
  return services;
}

std::vector<TaskRef> read_tasks(const std::string& context, const std::string& answer) {
  std::vector<TaskRef> tasks;
  const json parsed = parse(context, answer);
  for (const json& entry : list(context, parsed)) {
    const json& status = object_at(entry, "Status");
    tasks.push_back(TaskRef{text(entry, "ID"), text(entry, "ServiceID"), text(entry, "NodeID"),
                            small(number(entry, "Slot")), text(entry, "DesiredState"),
                            text(status, "State"), text(status, "Message"), text(status, "Err"),
                            small(number(object_at(status, "ContainerStatus"), "ExitCode")),
                            unix_time(text(status, "Timestamp"))});
  }
  return tasks;
}

}  // namespace bootstrap::docker
