// The product's images from a registry of the operator's: which registry,
// and logging in to it.
#include <stdexcept>

#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/swarm.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::installer::lumadex {

std::string LumadexInstaller::registry_in_use() {
  if (environment_.registry) return *environment_.registry;
  std::shared_ptr<docker::Client> client = environment_.make_client();
  const std::string prefix = application_name + "-";
  for (const docker::ContainerRef& c : client->list_containers(true)) {
    if (c.name.rfind(prefix, 0) != 0) continue;
    auto label = c.labels.find(kRegistryLabel);
    if (label != c.labels.end()) return label->second;
  }
  if (client->swarm_state().manager)
    for (const docker::ServiceRef& s : client->list_services(kRegistryLabel)) {
      auto application = s.spec.labels.find(kApplicationLabel);
      if (application != s.spec.labels.end() && application->second == application_name)
        return s.spec.labels.at(kRegistryLabel);
    }
  return "";
}

std::optional<host::RegistryCredentials> LumadexInstaller::credentials_for(
    const std::string& host) {
  if (environment_.credentials) return environment_.credentials;
  const std::string& path = environment_.docker_config;
  if (path.empty()) return std::nullopt;
  std::optional<std::string> config = host::read_docker_config(path);
  if (!config) return std::nullopt;
  const std::string& search_path = environment_.search_path;
  try {
    return host::find_registry_credentials(
        host, *config, environment_.host.process,
        [&](const std::string& name) { return host::credential_helper_path(name, search_path); });
  } catch (const host::HostError& e) {
    throw host::HostError(path + ": " + e.what());
  }
}

void LumadexInstaller::log_in(docker::Client& client, const std::string& registry) {
  if (registry.empty()) return;
  const std::string host = registry_host(registry + "/");
  std::optional<host::RegistryCredentials> credentials = credentials_for(host);
  if (!credentials) return;
  say("credentials from " + credentials->source + " for " + host);
  try {
    client.login(credentials->username, credentials->password, host);
  } catch (const docker::ApiError& e) {
    if (asks_for_login(e)) throw RegistryLoginNeeded(host);
    throw;
  }
}

void LumadexInstaller::from_registry(KestroInstaller& deployment, const std::string& registry,
                                     bool renew) {
  if (registry.empty()) return;
  deployment.set_registry(registry);
  const std::string host = registry_host(registry + "/");
  if (std::optional<host::RegistryCredentials> credentials = credentials_for(host)) {
    say("credentials from " + credentials->source + " for " + host);
    deployment.user_name = credentials->username;
    deployment.password = credentials->password;
    deployment.registry_server = host;
    deployment.login();
    if (deployment.login_refused) throw RegistryLoginNeeded(host);
  }
  // Every image before anything changes: a registry that wants a login
  // refuses the first pull, and then nothing of the product has moved.
  try {
    deployment.fetch_images(renew);
  } catch (const docker::ApiError& e) {
    if (asks_for_login(e)) throw RegistryLoginNeeded(host);
    throw std::runtime_error(std::string("nothing was changed: ") + e.what());
  } catch (const docker::EngineError& e) {
    throw std::runtime_error(std::string("nothing was changed: ") + e.what());
  }
}

}  // namespace bootstrap::installer::lumadex
