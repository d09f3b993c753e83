// The update that keeps what need not change, and the rollback every update
// shares.
#include <algorithm>
#include <exception>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/outcome.h"
#include "bootstrap/installer/plan.h"
#include "bootstrap/installer/plan_executor.h"

namespace bootstrap::installer::lumadex {

Layout LumadexInstaller::layout_for(const ServiceList& services,
                                    std::shared_ptr<docker::Client> client) {
  host::Host& host = environment_.host;
  // The containers run on the engine's host, which need not be ours.
  return Layout(application_name, services, [client, &host]() -> unsigned {
    try {
      const int ncpu = client->info().ncpu;
      if (ncpu > 0) return static_cast<unsigned>(ncpu);
    } catch (const docker::EngineError&) {
    }
    return host.system.cpu_count();
  });
}

void LumadexInstaller::update_in_place(const ImageLoad* images,
                                       std::optional<std::string> version) {
  refuse_on_swarm(images != nullptr);
  say("updating lumadex in place");
  const std::string registry = registry_in_use();
  const ServiceList working_copy = with_version(version, registry);
  std::unique_ptr<KestroInstaller> deployment = make_deployment(working_copy);
  std::shared_ptr<docker::Client> client = deployment->client;
  announce_move(*client, working_copy);
  ImageKeeper keeper(*client);
  // A dry run moves no tag, so there is nothing to come back to.
  const bool keeping = environment_.rollback && !environment_.dry_run;
  Applied applied;
  try {
    // What runs now is kept before the fetch can move a tag off it.
    if (keeping) keeper.keep(image_references(version, registry));
    fetch_for_update(*deployment, images, registry);

    Layout layout = layout_for(working_copy, client);
    // The definitions carry the registry, as the full update's do.
    layout.set_registry(registry);
    const Plan plan = plan_update_in_place(layout, read_snapshot(*client, layout));
    if (plan.empty()) {
      keeper.release(environment_.host.console);
      deployment->remove_replaced_images();
      // A dry run pulls nothing, so it cannot know whether the registry has
      // moved a tag: it says what it compared with.
      say(environment_.dry_run ? "lumadex is up to date with the images this engine has (a dry run "
                                 "pulls nothing)"
                               : "lumadex is up to date");
      return;
    }
    if (environment_.dry_run) {
      print_plan(plan, environment_.host.console);
      if (environment_.described) *environment_.described += static_cast<int>(plan.size());
      return;
    }
    int steps_done = 0;
    try {
      applied = apply_plan(*client, plan, environment_.jobs, environment_.host.console,
                           &steps_done);
    } catch (...) {
      if (docker::interrupt_requested())
        throw Unfinished(steps_done, static_cast<int>(plan.size()),
                         Unfinished::Left::partly_moved);
      throw;
    }
    if (keeping) {
      watch_or_roll_back(*client, applied.started, keeper, working_copy, "update", "");
    } else {
      deployment->remove_replaced_images();
      watch_settle(*client, applied.started, environment_.settle, environment_.host.console.out);
    }
  } catch (const RolledBack&) {
    throw;
  } catch (...) {
    // Our tags go; the images they kept stay as long as anything else
    // names or runs them.
    if (keeping) keeper.release(environment_.host.console);
    throw;
  }
  // Only now does nothing need what ran before.
  keeper.release(environment_.host.console);
  deployment->remove_replaced_images();
  report_outcome(*deployment, static_cast<int>(applied.created.size()),
                 static_cast<int>(applied.recreated.size()), 0);
}

void LumadexInstaller::watch_or_roll_back(docker::Client& client,
                                          const std::vector<std::string>& started,
                                          ImageKeeper& keeper, const ServiceList& previous,
                                          const std::string& operation, const std::string& note) {
  std::string cause;
  std::exception_ptr failure;
  try {
    watch_settle(client, started, environment_.settle, environment_.host.console.out);
    return;
  } catch (const SettleFailure& e) {
    if (keeper.kept().empty()) throw;
    cause = e.what();
    failure = std::current_exception();
  }

  const auto moved = keeper.moved();
  const ImageKeeper::Kept& shown = moved.empty() ? keeper.kept().front() : moved.front().first;
  const std::string target = shown.reference + " (" + short_id(shown.id) + ")";
  keeper.restore();
  // The rollback is a plan like any other: against what ran before, it
  // recreates exactly the containers that run the new version.
  std::shared_ptr<docker::Client> fresh = environment_.make_client();
  Layout layout = layout_for(previous, fresh);
  const Plan plan = plan_update_in_place(layout, read_snapshot(*fresh, layout));
  if (plan.empty()) std::rethrow_exception(failure);  // nothing of the new version runs
  say("rolling back to " + target);
  // What the rollback replaces does not run, so there is no outage to keep
  // short, only the time until the previous version runs again: at least
  // four at once, which brought it back fastest on a 2-CPU engine
  // (bench/README.md), whatever the update itself used.
  constexpr int kRollbackJobs = 4;
  Applied applied = apply_plan(*fresh, plan, std::max(environment_.jobs, kRollbackJobs),
                               environment_.host.console);
  try {
    watch_settle(*fresh, applied.started, environment_.settle, environment_.host.console.out);
  } catch (const SettleFailure& again) {
    throw std::runtime_error(operation + " failed: " + cause + "; the rollback to " + target +
                             " did not stay up either: " + again.what());
  }
  // What did not stay up goes, unless something else still needs it.
  for (const auto& [kept, now] : moved) {
    if (now.empty()) continue;
    try {
      fresh->remove_image(now, false);
    } catch (const docker::ApiError&) {
    }
  }
  keeper.release(environment_.host.console);
  throw RolledBack(operation + " failed: " + cause + "; rolled back to " + target + note);
}

}  // namespace bootstrap::installer::lumadex
