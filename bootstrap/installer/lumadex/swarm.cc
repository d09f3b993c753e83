// The product's operations on a swarm: the catalogue through SwarmDeployment.
#include <iostream>

#include "bootstrap/installer/console.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::installer::lumadex {

namespace {

// Runs `step` on a deployment of `services` over a client of its own, which
// only describes what it would change under --dry-run.
template <typename Step>
void on_deployment(const LumadexInstaller::Environment& environment, const std::string& application,
                   const ServiceList& services, Step step) {
  std::shared_ptr<docker::Client> client = environment.make_client();
  SwarmDeployment deployment(application, services, *client, std::cout);
  deployment.describe_only = environment.dry_run;
  step(deployment);
}

}  // namespace

bool LumadexInstaller::on_swarm() {
  return SwarmDeployment::installed(*environment_.make_client(), application_name);
}

void LumadexInstaller::install_on_swarm(std::optional<std::string> version,
                                        const SwarmOptions& options) {
  say("installing lumadex on the swarm");
  ServiceList working_copy = lumadex_services;
  if (version)
    for (ServiceDescription& s : working_copy)
      if (s.image == main_service) s.image = main_service + ":" + *version;
  on_deployment(environment_, application_name, working_copy, [&](SwarmDeployment& deployment) {
    deployment.install(options);
    deployment.watch(environment_.settle);
  });
}

void LumadexInstaller::update_on_swarm() {
  say("updating lumadex on the swarm");
  on_deployment(environment_, application_name, lumadex_services, [&](SwarmDeployment& deployment) {
    deployment.update();
    deployment.watch(environment_.settle);
  });
}

void LumadexInstaller::scale_on_swarm(const std::string& service_name, int replicas) {
  on_deployment(environment_, application_name, lumadex_services, [&](SwarmDeployment& deployment) {
    deployment.scale(service_name, replicas);
    deployment.watch(environment_.settle);
  });
}

void LumadexInstaller::uninstall_on_swarm() {
  say("uninstalling lumadex from the swarm");
  on_deployment(environment_, application_name, lumadex_services,
                [](SwarmDeployment& deployment) { deployment.uninstall(); });
  say("successfully uninstalled!");
}

}  // namespace bootstrap::installer::lumadex
