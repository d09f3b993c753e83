#include <algorithm>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

namespace {

void add_unique(std::vector<std::string>& names, const std::string& name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

}  // namespace

bool KestroInstaller::compose_up(std::optional<std::string> user_name_in,
                                 std::optional<std::string> password_in, bool update) {
  user_name = std::move(user_name_in);
  password = std::move(password_in);

  if (!is_docker_istalled(host_)) {
    say("installing docker, please wait");
    install_docker(host_);
  }
  check_vm_max_map_count(host_);

  auto install_network = [&](const std::string& network_name) {
    if (networks.contains(network_name)) return;
    say("creating network " + network_name);
    networks.put(network_name, client->create_network(network_name));
  };
  auto install_networks = [&] {
    std::vector<std::string> names;
    for (const ServiceDescription& s : services)
      if (s.networks)
        for (const std::string& n : *s.networks) add_unique(names, n);
    for (const std::string& n : names) install_network(qualified_name(application_name, n));
  };

  auto install_volume = [&](const std::string& volume_name) {
    if (volumes.contains(volume_name)) return;
    say("creating volume " + volume_name);
    volumes.put(volume_name, client->create_volume(volume_name, "local"));
  };
  auto install_volumes = [&] {
    std::vector<std::string> names;
    for (const ServiceDescription& s : services)
      if (s.volumes)
        for (const std::string& entry : *s.volumes) {
          std::string source = volume_source(entry);
          if (source.empty() || source.front() != '/') add_unique(names, source);
        }
    for (const std::string& v : names) install_volume(qualified_name(application_name, v));
  };

  auto install_services = [&] {
    for (const ServiceDescription& s : services) install_service(s, update);
  };

  // Nothing is started until every service is defined, so a failure part way
  // leaves definitions behind but no half-started product.
  try {
    install_networks();
    install_volumes();
    install_services();
    for (const ServiceDescription& s : services) {
      std::string container_name = qualified_name(application_name, s.name);
      say("starting container " + container_name);
      client->start_container(containers.at(container_name).id);
    }
  } catch (const docker::ApiError& e) {
    if (e.status() == 401) {
      say("unauthorized access!");
    } else {
      say(e.what());
      say("unknown error, please try again!");
    }
    return false;
  }
  return true;
}

}  // namespace bootstrap::installer
