// The engine's JSON for the swarm documents of swarm.h, both ways.
//
// Kept apart from the client so that the exact bodies can be checked without
// an engine. Readers take the engine's answer as text with what we were doing
// as context; they throw MalformedAnswer when the text is not JSON and
// EngineError when it is not of the expected shape (an object, a list).
// Members follow the rules of engine_json.h: left out, or of another type,
// they read as empty (counts as 0); a garbled count is MalformedAnswer.
#pragma once

#include <string>
#include <vector>

#include "bootstrap/docker/swarm.h"

namespace bootstrap::docker {

// The body of POST /services/create and POST /services/{id}/update.
std::string service_spec_body(const ServiceSpec& spec);
// The body of POST /nodes/{id}/update: the node's spec.
std::string node_spec_body(const SwarmNode& node);

SwarmState read_swarm_state(const std::string& context, const std::string& info);
std::vector<SwarmNode> read_nodes(const std::string& context, const std::string& answer);
ServiceRef read_service(const std::string& context, const std::string& answer);
std::vector<ServiceRef> read_services(const std::string& context, const std::string& answer);
std::vector<TaskRef> read_tasks(const std::string& context, const std::string& answer);

}  // namespace bootstrap::docker
