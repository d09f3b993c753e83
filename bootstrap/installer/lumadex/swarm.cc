// The product's operations on a swarm: the catalogue through SwarmDeployment.
#include <iostream>

#include "bootstrap/installer/console.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::installer::lumadex {

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
  std::shared_ptr<docker::Client> client = environment_.make_client();
  SwarmDeployment deployment(application_name, working_copy, *client, std::cout);
  deployment.describe_only = environment_.dry_run;
  deployment.install(options);
  deployment.watch(environment_.settle);
}

void LumadexInstaller::update_on_swarm() {
  say("updating lumadex on the swarm");
  std::shared_ptr<docker::Client> client = environment_.make_client();
  SwarmDeployment deployment(application_name, lumadex_services, *client, std::cout);
  deployment.describe_only = environment_.dry_run;
  deployment.update();
  deployment.watch(environment_.settle);
}

void LumadexInstaller::scale_on_swarm(const std::string& service_name, int replicas) {
  std::shared_ptr<docker::Client> client = environment_.make_client();
  SwarmDeployment deployment(application_name, lumadex_services, *client, std::cout);
  deployment.describe_only = environment_.dry_run;
  deployment.scale(service_name, replicas);
  deployment.watch(environment_.settle);
}

void LumadexInstaller::uninstall_on_swarm() {
  say("uninstalling lumadex from the swarm");
  std::shared_ptr<docker::Client> client = environment_.make_client();
  SwarmDeployment deployment(application_name, lumadex_services, *client, std::cout);
  deployment.describe_only = environment_.dry_run;
  deployment.uninstall();
  say("successfully uninstalled!");
}

}  // namespace bootstrap::installer::lumadex
