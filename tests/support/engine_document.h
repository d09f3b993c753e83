// The engine's own JSON documents, for real-engine tests that check what the
// engine holds in more detail than the client's typed answers carry (a
// container's environment, binds, limits, addresses).
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bootstrap/docker/config.h"
#include "bootstrap/docker/curl_transport.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::testing {

// GETs `path` ("/containers/lumadex-api/json") from the engine the environment
// names, at the engine's own API version. Throws NotFound for 404, ApiError
// for any other error status.
inline nlohmann::json engine_document(const std::string& path) {
  docker::CurlTransport transport(docker::ClientConfig::from_environment());
  docker::Response answer = transport.send({"GET", path, std::nullopt, {}});
  if (answer.status == 404) throw docker::NotFound("GET " + path, 404, answer.body);
  if (answer.status >= 400) throw docker::ApiError("GET " + path, answer.status, answer.body);
  return nlohmann::json::parse(answer.body);
}

// The engine's inspection document of a container.
inline nlohmann::json inspect_document(const std::string& container) {
  return engine_document("/containers/" + container + "/json");
}

}  // namespace bootstrap::testing
