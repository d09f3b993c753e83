// The product's operations on a swarm: the catalogue through SwarmDeployment.
#include <iostream>

#include "bootstrap/installer/outcome.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::installer::lumadex {

namespace {

// Runs `step` on a deployment of `services` over a client of its own, which
// only describes what it would change under --dry-run.
// Every request that reaches the registry (a digest lookup, a service's
// create or update, which hands the credentials to the nodes) carries the
// login made first.
// Returns how many services the step changed.
template <typename Step>
int on_deployment(LumadexInstaller& product, const LumadexInstaller::Environment& environment,
                  const std::string& application, const ServiceList& services,
                  const std::string& registry, Step step) {
  std::shared_ptr<docker::Client> client = environment.make_client();
  product.log_in(*client, registry);
  SwarmDeployment deployment(application, services, *client, environment.host.console.out);
  deployment.describe_only = environment.dry_run;
  deployment.set_registry(registry);
  step(deployment);
  return static_cast<int>(deployment.changed().size());
}

}  // namespace

bool LumadexInstaller::on_swarm() {
  return SwarmDeployment::installed(*environment_.make_client(), application_name);
}

void LumadexInstaller::install_on_swarm(std::optional<std::string> version,
                                        const SwarmOptions& options) {
  say("installing lumadex on the swarm");
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(version, registry);
  const int changed = on_deployment(*this, environment_, application_name, working_copy, registry,
                                    [&](SwarmDeployment& deployment) {
                                      deployment.install(options);
                                      deployment.watch(environment_.settle);
                                    });
  report_swarm_outcome(working_copy, changed);
}

void LumadexInstaller::report_swarm_outcome(const ServiceList& services, int changed) {
  if (environment_.dry_run) return;
  const SwarmStatus status =
      gather_swarm_status(*environment_.make_client(), application_name, services);
  // A service runs as asked when it has the tasks it asks for, none included.
  int running = 0;
  for (const SwarmServiceStatus& s : status.services)
    if (s.present && s.running >= s.desired) ++running;
  say(describe_swarm_outcome(application_name, running, static_cast<int>(status.services.size()),
                             changed, elapsed()));
}

void LumadexInstaller::update_on_swarm(std::optional<std::string> version) {
  say("updating lumadex on the swarm");
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(version, registry);
  const int changed = on_deployment(*this, environment_, application_name, working_copy, registry,
                                    [&](SwarmDeployment& deployment) {
                                      deployment.update();
                                      deployment.watch(environment_.settle);
                                    });
  report_swarm_outcome(working_copy, changed);
}

void LumadexInstaller::scale_on_swarm(const std::string& service_name, int replicas) {
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(std::nullopt, registry);
  const int changed = on_deployment(*this, environment_, application_name, working_copy, registry,
                                    [&](SwarmDeployment& deployment) {
                                      deployment.scale(service_name, replicas);
                                      deployment.watch(environment_.settle);
                                    });
  report_swarm_outcome(working_copy, changed);
}

void LumadexInstaller::uninstall_on_swarm() {
  say("uninstalling lumadex from the swarm");
  const int removed =
      on_deployment(*this, environment_, application_name, lumadex_services, "",
                    [](SwarmDeployment& deployment) { deployment.uninstall(); });
  say("successfully uninstalled!");
  if (environment_.dry_run) return;
  say(describe_swarm_removal(application_name, removed, elapsed()));
}

}  // namespace bootstrap::installer::lumadex
