#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

bool KestroInstaller::compose_up(std::optional<std::string> user_name_in,
                                 std::optional<std::string> password_in, bool update) {
  user_name = std::move(user_name_in);
  failure_reason.clear();
  password = std::move(password_in);

  // No Docker installation here: this object exists only because an engine
  // answered its snapshot, and that engine (Docker or Podman) is the one used.

  // Before anything of the product changes: a fetch that fails leaves it as
  // it was.
  if (update) fetch_images();
  check_vm_max_map_count(host_);

  auto install_network = [&](const std::string& network_name) {
    if (networks.contains(network_name)) return;
    say("creating network " + network_name);
    networks.put(network_name, client->create_network(network_name));
  };
  auto install_networks = [&] {
    for (const LayoutObject& n : layout_.networks()) install_network(n.name);
  };

  auto install_volume = [&](const std::string& volume_name) {
    if (volumes.contains(volume_name)) return;
    say("creating volume " + volume_name);
    volumes.put(volume_name, client->create_volume(volume_name, "local"));
  };
  auto install_volumes = [&] {
    for (const LayoutObject& v : layout_.volumes()) install_volume(v.name);
  };

  auto install_services = [&] {
    for (const ServiceDescription& s : services) install_service(s, update);
  };

  // Nothing is started until every service is defined, so a failure part way
  // leaves definitions behind but no half-started product.
  try {
    remove_duplicate_networks();
    install_networks();
    install_volumes();
    install_services();
    for (const ServiceDescription& s : services) {
      std::string container_name = layout_.container(s.name);
      say("starting container " + container_name);
      client->start_container(container_name);
      started.push_back(container_name);
    }
    for (const std::string& worker : restart_workers_) {
      say("starting container " + worker);
      client->start_container(worker);
      started.push_back(worker);
    }
    restart_workers_.clear();
    // Only now does no new container need the images the fetch replaced.
    remove_replaced_images();
  } catch (const docker::ApiError& e) {
    failure_reason = e.what();
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
