// Asks the Docker engine that the environment names (DOCKER_HOST and friends)
// for its version document and prints it as one line of JSON. An engine that
// cannot be reached, or refuses, ends the probe with the error on stderr and
// exit status 1.
#include <iostream>
#include <nlohmann/json.hpp>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"

int main() {
  using bootstrap::docker::DockerClient;
  try {
    std::unique_ptr<DockerClient> client = DockerClient::from_environment();
    std::string version = client->version_document();
    // Re-serialised so the output is one compact line whatever the engine sent.
    std::cout << nlohmann::json::parse(version).dump() << '\n';
  } catch (const bootstrap::docker::EngineError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  } catch (const nlohmann::json::exception& e) {
    std::cerr << "engine version: the engine's answer is not JSON: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
