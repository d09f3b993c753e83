#include "bootstrap/app/swarm_status.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bootstrap/app/context.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/swarm_deployment.h"

namespace bootstrap::app {

namespace {

using json = nlohmann::ordered_json;

std::string render_json(const installer::SwarmStatus& status) {
  json services = json::array();
  for (const installer::SwarmServiceStatus& s : status.services)
    services.push_back({{"service", s.service},
                        {"present", s.present},
                        {"replicas_desired", s.desired},
                        {"replicas_running", s.running},
                        {"image", s.present ? json(s.image) : json(nullptr)},
                        {"nodes", s.nodes},
                        {"last_error", s.problem.empty() ? json(nullptr) : json(s.problem)}});
  json networks = json::array();
  for (const auto& [name, present] : status.networks)
    networks.push_back({{"name", name}, {"present", present}});
  json document = {{"application", installer::lumadex::LumadexInstaller::application_name},
                   {"swarm", true},
                   {"all_running", status.all_running()},
                   {"services", std::move(services)},
                   {"networks", std::move(networks)}};
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// An aligned table of the services, then the networks, each line ending in "\n".
std::string render_text(const installer::SwarmStatus& status) {
  std::vector<std::vector<std::string>> rows{{"SERVICE", "REPLICAS", "IMAGE", "NODES", "LAST ERROR"}};
  for (const installer::SwarmServiceStatus& s : status.services) {
    if (!s.present) {
      rows.push_back({s.service, "missing", "-", "-", "-"});
      continue;
    }
    // Each node once, however many of the service's tasks it runs.
    std::vector<std::string> nodes;
    for (const std::string& node : s.nodes)
      if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(node);
    const std::string where = base::join(nodes, ",");
    rows.push_back({s.service, std::to_string(s.running) + "/" + std::to_string(s.desired),
                    s.image, where.empty() ? "-" : where,
                    s.problem.empty() ? "-" : base::printable(s.problem)});
  }
  rows.push_back({});
  rows.push_back({"NETWORK", "STATE"});
  for (const auto& [name, present] : status.networks)
    rows.push_back({name, present ? "present" : "missing"});
  return base::table(rows);
}

}  // namespace

void swarm_status_command(const Context& context, bool as_json) {
  using installer::lumadex::LumadexInstaller;
  std::ostream& out = context.output.out;
  std::unique_ptr<docker::DockerClient> client = context.connect();
  installer::SwarmStatus status = installer::gather_swarm_status(
      *client, LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
  out << (as_json ? render_json(status) : render_text(status)) << std::flush;
  std::string short_of;
  std::size_t count = 0;
  for (const installer::SwarmServiceStatus& s : status.services)
    if (!s.present || s.running != s.desired) {
      short_of += (short_of.empty() ? "" : ", ") + s.service;
      ++count;
    }
  if (count > 0)
    throw std::runtime_error(std::to_string(count) + " of " +
                             std::to_string(status.services.size()) +
                             " services do not run every replica: " + short_of);
}

}  // namespace bootstrap::app
