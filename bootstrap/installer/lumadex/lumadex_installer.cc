#include "bootstrap/installer/lumadex/lumadex_installer.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "bootstrap/docker/errors.h"
#include "bootstrap/host/docker_setup.h"
#include "bootstrap/installer/outcome.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::installer::lumadex {

namespace {

// How long a freshly installed engine may take to answer.
constexpr std::chrono::seconds kEngineStartWait{60};

}  // namespace

LumadexInstaller::LumadexInstaller(Environment environment) : environment_(std::move(environment)) {}

bool LumadexInstaller::is_service(const std::string& name) {
  for (const ServiceDescription& s : lumadex_services)
    if (s.name == name) return true;
  return false;
}

std::unique_ptr<KestroInstaller> LumadexInstaller::make_deployment(const ServiceList& services) {
  auto deployment = std::make_unique<KestroInstaller>(application_name, services,
                                                    environment_.make_client(), environment_.host);
  deployment->pull_progress = environment_.pull_progress;
  deployment->describe_only = environment_.dry_run;
  // The describing client prints each change as it is asked for; one at a
  // time, those lines stay in the order of the changes.
  deployment->set_jobs(environment_.dry_run ? 1 : environment_.jobs);
  return deployment;
}

bool LumadexInstaller::engine_answers() {
  try {
    environment_.make_client()->ping();
    return true;
  } catch (const docker::ConnectionError&) {
    return false;
  }
}

void LumadexInstaller::wait_for_engine() {
  auto deadline = std::chrono::steady_clock::now() + kEngineStartWait;
  std::string last_error;
  while (true) {
    try {
      environment_.make_client()->version();
      return;
    } catch (const docker::ConnectionError& e) {
      last_error = e.what();
    }
    if (std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("docker was installed but its engine did not answer within " +
                               std::to_string(kEngineStartWait.count()) + " s: " + last_error);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

ServiceList LumadexInstaller::with_version(const std::optional<std::string>& version,
                                           const std::string& registry) {
  ServiceList working_copy = lumadex_services;
  for (ServiceDescription& s : working_copy) {
    if (version && s.image == main_service) s.image = main_service + ":" + *version;
    s.image = registry_reference(s.image, registry);
  }
  return working_copy;
}

bool LumadexInstaller::install(std::optional<std::string> version, bool update,
                               const ImageLoad* images) {
  // A bundle is for hosts that cannot fetch, and Docker itself would have to
  // be fetched.
  const bool answers = engine_answers();
  if (images && host::docker_install_needed(environment_.host, answers,
                                            environment_.default_socket))
    throw std::runtime_error(
        "Docker must be installed first: no Docker engine answers on this host, and a bundle "
        "carries only the product's images");

  if (answers && on_swarm())
    throw std::runtime_error(
        "nothing was changed: lumadex runs on this engine's swarm as services; containers beside "
        "them would be a second copy (`bootstrap install --swarm` changes the services)");

  say("installing lumadex");
  say("contacting server please wait");

  // The engine object connects as it is made, so on a host without Docker the
  // installation has to come first. An engine that answers (Podman's
  // included) is used as it is, whatever the docker program says.
  if (host::docker_install_needed(environment_.host, answers, environment_.default_socket)) {
    say("installing docker, please wait");
    KestroInstaller::install_docker(environment_.host);
    // Only an engine that was really installed can be waited for; a dry run's
    // describing shell installs nothing.
    if (KestroInstaller::is_docker_istalled(environment_.host)) wait_for_engine();
  }

  // Only an engine that answers can tell which registry the product came from.
  const std::string registry =
      environment_.registry ? *environment_.registry : (answers ? registry_in_use() : "");
  const ServiceList working_copy = with_version(version, registry);
  std::unique_ptr<KestroInstaller> deployment = make_deployment(working_copy);
  // Another version over an installed product is an update: what ran stays
  // at hand until the new one has settled.
  ImageKeeper keeper(*deployment->client);
  ServiceList previous = with_version(std::nullopt, registry);
  if (version && environment_.rollback && !environment_.dry_run) {
    std::optional<std::string> running = running_application_image(*deployment->client);
    const std::string asked = registry_reference(main_service + ":" + *version, registry);
    if (running && parse_image_reference(*running) != parse_image_reference(asked)) {
      keeper.keep({*running});
      const std::string application = registry_reference(main_service, registry);
      for (ServiceDescription& s : previous)
        if (s.image == application) s.image = *running;
    }
  }
  if (images) {
    deployment->load_images(images->references, images->load);
    deployment->set_registry(registry);
  } else {
    from_registry(*deployment, registry, update);
  }
  const int steps = deployment->up_steps();
  bool done = false;
  try {
    done = deployment->compose_up(deployment->user_name, deployment->password, update);
  } catch (...) {
    if (docker::interrupt_requested()) throw Unfinished(deployment->steps_done, steps, Unfinished::Left::partly_up);
    throw;
  }
  failure_reason_ = deployment->failure_reason;
  if (!done) {
    keeper.release(environment_.host.console);
    return false;
  }
  watch_or_roll_back(*deployment->client, deployment->started, keeper, previous, "install", "");
  keeper.release(environment_.host.console);
  report_outcome(*deployment, static_cast<int>(deployment->changes.created.size()),
                 static_cast<int>(deployment->changes.recreated.size()), 0,
                 static_cast<int>(deployment->changes.started.size()));
  return true;
}

double LumadexInstaller::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
}

void LumadexInstaller::report_outcome(KestroInstaller& deployment, int created, int recreated,
                                      int removed, int started) {
  if (environment_.dry_run) return;
  Outcome outcome;
  std::tie(outcome.running, outcome.total) = deployment.count_running();
  outcome.created = created;
  outcome.recreated = recreated;
  outcome.removed = removed;
  outcome.started = started;
  outcome.seconds = elapsed();
  say(describe_outcome(application_name, outcome));
}

std::optional<std::string> LumadexInstaller::running_application_image(docker::Client& client) {
  for (const ServiceDescription& s : lumadex_services) {
    if (s.image != main_service) continue;
    try {
      return client.inspect_container(application_name + "-" + s.name).image;
    } catch (const docker::NotFound&) {
    }
  }
  return std::nullopt;
}

void LumadexInstaller::announce_move(docker::Client& client, const ServiceList& services) {
  auto tagged = [](const std::string& image) {
    ImageReference reference = parse_image_reference(image);
    return reference.repository + (reference.is_digest ? "@" : ":") + reference.tag;
  };
  // `services` is the catalogue, entry for entry, with its images moved.
  std::string target;
  for (std::size_t i = 0; i < services.size() && i < lumadex_services.size(); ++i)
    if (lumadex_services[i].image == main_service) target = tagged(services[i].image);
  const std::optional<std::string> running = running_application_image(client);
  if (!running)
    say("lumadex is not installed; update installs " + target);
  else if (tagged(*running) == target)
    say("lumadex runs " + target + "; update fetches it anew");
  else
    say("lumadex runs " + tagged(*running) + "; update moves it to " + target);
}

void LumadexInstaller::refuse_on_swarm(bool bundle) {
  if (!on_swarm()) return;
  throw std::runtime_error(
      std::string("nothing was changed: lumadex runs on this engine's swarm as services") +
      (bundle ? ", and a bundle loads its images on this node only; `bootstrap update` without "
                "--bundle updates them from the registry"
              : "; `bootstrap update` updates them there"));
}

bool LumadexInstaller::update(const ImageLoad* images, std::optional<std::string> version) {
  refuse_on_swarm(images != nullptr);
  say("updating lumadex");
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(version, registry);
  // One deployment object throughout: it remembers what it fetched, so the
  // bring-up pulls nothing again, and which images the fetch replaced.
  std::unique_ptr<KestroInstaller> deployment = make_deployment(working_copy);
  announce_move(*deployment->client, working_copy);
  ImageKeeper keeper(*deployment->client);
  const bool keeping = environment_.rollback && !environment_.dry_run;
  // What runs now is kept before the fetch can move a tag off it, and the
  // bring-up leaves the replaced images for after the watch.
  if (keeping) keeper.keep(image_references(version, registry));
  deployment->keep_replaced_images = keeping;
  std::vector<std::string> existing;  // the product's containers before the take-down
  try {
    // The new images arrive while the product still runs; a fetch that fails
    // leaves it running.
    fetch_for_update(*deployment, images, registry);
    // The full update remakes every container it finds: each counts as
    // recreated, not as new.
    existing = deployment->containers.keys();
    const int steps = deployment->down_steps() + static_cast<int>(removed_volumes.size()) +
                      deployment->up_steps();
    bool done = false;
    try {
      take_down(*deployment);
      say("installing lumadex");
      say("contacting server please wait");
      done = deployment->compose_up(deployment->user_name, deployment->password, true);
    } catch (...) {
      if (docker::interrupt_requested()) throw Unfinished(deployment->steps_done, steps, Unfinished::Left::down);
      throw;
    }
    failure_reason_ = deployment->failure_reason;
    if (!done) {
      keeper.release(environment_.host.console);
      return false;
    }
    watch_or_roll_back(*deployment->client, deployment->started, keeper, working_copy, "update",
                       "; the cache volumes it reset stay reset");
  } catch (const RolledBack&) {
    throw;
  } catch (...) {
    keeper.release(environment_.host.console);
    throw;
  }
  keeper.release(environment_.host.console);
  deployment->remove_replaced_images();
  int recreated = 0;
  for (const std::string& name : deployment->changes.created)
    recreated += std::count(existing.begin(), existing.end(), name) > 0 ? 1 : 0;
  report_outcome(*deployment, static_cast<int>(deployment->changes.created.size()) - recreated,
                 recreated, 0);
  return true;
}

void LumadexInstaller::fetch_for_update(KestroInstaller& deployment, const ImageLoad* images,
                                        const std::string& registry) {
  if (images) {
    deployment.load_images(images->references, images->load);
    deployment.set_registry(registry);
  } else if (registry.empty()) {
    deployment.fetch_images();
  } else {
    from_registry(deployment, registry, true);
  }
}

std::vector<std::string> LumadexInstaller::fetch_images(const std::optional<std::string>& version) {
  const std::string registry = environment_.registry.value_or("");
  const ServiceList working_copy = with_version(version, registry);
  std::unique_ptr<KestroInstaller> deployment = make_deployment(working_copy);
  if (registry.empty())
    deployment->fetch_images();
  else
    from_registry(*deployment, registry, true);
  return image_references(version, registry);
}

std::vector<std::string> LumadexInstaller::image_references(
    const std::optional<std::string>& version, const std::string& registry) {
  std::vector<std::string> references;
  for (const ServiceDescription& s : with_version(version, registry)) {
    ImageReference reference = parse_image_reference(s.image);
    std::string full = reference.repository + (reference.is_digest ? "@" : ":") + reference.tag;
    if (std::find(references.begin(), references.end(), full) == references.end())
      references.push_back(full);
  }
  return references;
}

void LumadexInstaller::uninstall() {
  std::unique_ptr<KestroInstaller> deployment = make_deployment(lumadex_services);
  take_down(*deployment);
  if (environment_.dry_run) return;
  const KestroInstaller::Changes& changes = deployment->changes;
  say(describe_removal(application_name, {static_cast<int>(changes.removed.size()),
                                          static_cast<int>(changes.removed_networks.size()),
                                          static_cast<int>(changes.removed_volumes.size()),
                                          elapsed()}));
}

void LumadexInstaller::take_down(KestroInstaller& deployment) {
  say("uninstalling lumadex");
  deployment.compose_down();
  say("successfully uninstalled!");
  say("removing cache volumes");
  for (const std::string& volume : removed_volumes) deployment.remove_volume(volume);
  say("successfully removed cache volumes");
}

void LumadexInstaller::scale(const std::string& service_name, int n_worker) {
  // Workers run the image their service came from.
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(std::nullopt, registry);
  std::unique_ptr<KestroInstaller> deployment = make_deployment(working_copy);
  deployment->set_registry(registry);
  deployment->scale_service(service_name, n_worker);
  watch_settle(*deployment->client, deployment->started, environment_.settle, environment_.host.console.out);
  const KestroInstaller::Changes& changes = deployment->changes;
  if (!changes.created.empty() || !changes.removed.empty())
    report_outcome(*deployment, static_cast<int>(changes.created.size()), 0,
                   static_cast<int>(changes.removed.size()));
}

void LumadexInstaller::configure() {
  // Raising the value is the command's one job: not doing it is its failure.
  const std::string refused = KestroInstaller::check_vm_max_map_count(environment_.host);
  if (!refused.empty())
    throw std::runtime_error("could not apply vm.max_map_count=262144: " + refused);
}

}  // namespace bootstrap::installer::lumadex
