#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

namespace {

// Tells the operator of the engine's refusals, each on its own line; a
// registry's 401 gets words of its own.
using Refusal = std::pair<long, std::string>;  // status, what()
void report_refusals(const std::vector<Refusal>& refusals, const base::Console& console) {
  bool other = false;
  for (const auto& [status, text] : refusals) {
    if (status == 401) {
      console.say("unauthorized access!");
    } else {
      console.say(text);
      other = true;
    }
  }
  if (other) console.say("unknown error, please try again!");
}

}  // namespace

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
  // The search nodes are the only ones that need the value: the rest of the
  // product still comes up, and the settle watch judges the search nodes.
  const std::string refused = check_vm_max_map_count(host_);
  if (!refused.empty())
    host_.console.warn("vm.max_map_count stays below 262144 (" + refused +
                       "): the search nodes may fail to start");

  auto install_network = [&](const std::string& network_name) {
    if (!networks.contains(network_name)) {
      say("creating network " + network_name);
      networks.put(network_name, client->create_network(network_name));
    }
    ++steps_done;
  };
  auto install_networks = [&] {
    for (const LayoutObject& n : layout_.networks()) install_network(n.name);
  };

  auto install_volume = [&](const std::string& volume_name) {
    if (!volumes.contains(volume_name)) {
      say("creating volume " + volume_name);
      volumes.put(volume_name, client->create_volume(volume_name, "local"));
    }
    ++steps_done;
  };
  auto install_volumes = [&] {
    for (const LayoutObject& v : layout_.volumes()) install_volume(v.name);
  };

  auto install_services = [&] {
    for (const ServiceDescription& s : services) {
      install_service(s, update);
      ++steps_done;
    }
  };

  // Nothing is started until every service is defined, so a failure part way
  // leaves definitions behind but no half-started product.
  try {
    remove_duplicate_networks();
    install_networks();
    install_volumes();
    install_services();
    std::vector<std::string> to_start;
    for (const ServiceDescription& s : services) to_start.push_back(layout_.container(s.name));
    to_start.insert(to_start.end(), restart_workers_.begin(), restart_workers_.end());
    // Found stopped, neither made nor remade: started again.
    std::vector<std::string> stopped;
    for (const std::string& name : to_start)
      if (containers.contains(name) && containers.at(name).state != "running" &&
          std::find(changes.created.begin(), changes.created.end(), name) == changes.created.end() &&
          std::find(changes.recreated.begin(), changes.recreated.end(), name) == changes.recreated.end())
        stopped.push_back(name);
    start_containers(to_start);
    for (const std::string& name : stopped)
      if (std::find(started.begin(), started.end(), name) != started.end()) changes.started.push_back(name);
    restart_workers_.clear();
    // Only now does no new container need the images the fetch replaced.
    if (!keep_replaced_images) remove_replaced_images();
  } catch (const docker::ApiError& e) {
    failure_reason = e.what();
    report_refusals({{e.status(), e.what()}}, host_.console);
    return false;
  } catch (const PhaseFailures& e) {
    // Refusals are reported as one would be; anything else among them (an
    // engine that stopped answering) reaches the caller.
    std::vector<Refusal> refusals;
    for (const std::exception_ptr& failure : e.failures()) {
      try {
        std::rethrow_exception(failure);
      } catch (const docker::ApiError& refusal) {
        refusals.emplace_back(refusal.status(), refusal.what());
      } catch (...) {
        throw e;
      }
    }
    failure_reason = e.what();
    report_refusals(refusals, host_.console);
    return false;
  }
  return true;
}

void KestroInstaller::start_containers(const std::vector<std::string>& names) {
  // Starts do not depend on one another; with more than one job several are
  // in flight, still issued and told in this order.
  Phase phase(jobs_, host_.console);
  std::vector<std::string> issued;
  for (const std::string& name : names) {
    bool accepted = phase.issue([this, name](const Phase::Print& print) {
      print("starting container " + name);
      client->start_container(name);
    });
    if (!accepted) break;
    issued.push_back(name);
  }
  phase.finish([&](std::size_t job, bool succeeded) {
    if (!succeeded) return;
    started.push_back(issued[job]);
    // Workers started again are not steps of their own.
    if (std::any_of(services.begin(), services.end(), [&](const ServiceDescription& s) {
          return layout_.container(s.name) == issued[job];
        }))
      ++steps_done;
  });
}

}  // namespace bootstrap::installer
