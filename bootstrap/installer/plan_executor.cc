#include "bootstrap/installer/plan_executor.h"

#include <functional>
#include <set>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::installer {

namespace {

// Runs `jobs` (each with the index of its action) as one phase and records
// in `done` the actions whose job succeeded.
void run_phase(int limit, const base::Console& console,
               const std::vector<std::pair<std::size_t, Phase::Job>>& jobs,
               std::set<std::size_t>& done, const std::function<void(std::size_t)>& finished) {
  Phase phase(limit, console);
  std::vector<std::size_t> issued;
  for (const auto& [index, job] : jobs) {
    if (!phase.issue(job)) break;
    issued.push_back(index);
  }
  phase.finish([&](std::size_t job, bool succeeded) {
    if (!succeeded) return;
    done.insert(issued[job]);
    finished(issued[job]);
  });
}

void create_and_join(docker::Client& client, const ContainerDefinition& definition,
                     const std::string& name) {
  docker::ContainerSpec request = definition.request;
  request.name = name;
  client.create_container(request);
  // By name rather than id, so that an engine error names both.
  for (const NetworkJoin& join : definition.networks)
    client.connect_network(join.network, name, join.aliases);
}

}  // namespace

EngineSnapshot read_snapshot(docker::Client& client, const Layout& layout) {
  EngineSnapshot snapshot;
  snapshot.networks = client.list_networks();
  snapshot.volumes = client.list_volumes();
  snapshot.containers = client.list_containers(true);
  for (const ServiceDescription& s : layout.services()) {
    if (snapshot.images.count(s.image) > 0) continue;
    try {
      snapshot.images[s.image] = client.get_image(s.image);
    } catch (const docker::ImageNotFound&) {
    }
  }
  return snapshot;
}

void print_plan(const Plan& plan, const base::Console& console) {
  for (const Action& action : plan) console.say(describe(action, true));
}

Applied apply_plan(docker::Client& client, const Plan& plan, int jobs,
                   const base::Console& console, int* steps_done) {
  auto finished = [steps_done] {
    if (steps_done != nullptr) ++*steps_done;
  };
  // A creation is a whole action only when nothing is to follow it.
  auto finished_creation = [&](std::size_t i) {
    if (plan[i].step == Step::create_container && !plan[i].start) finished();
  };
  auto finished_swap = [&](std::size_t) { finished(); };
  if (jobs < 1 || jobs > kMaxJobs)
    throw std::invalid_argument("the job count must be from 1 to " + std::to_string(kMaxJobs) +
                                ", not " + std::to_string(jobs));

  // Images, networks and volumes first, one at a time: the containers need
  // them, and they are few.
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Action& action = plan[i];
    switch (action.step) {
      case Step::pull_image: {
        console.say(describe(action, false));
        base::ImageReference reference = base::parse_image_reference(action.target);
        client.pull_image(reference.repository, reference.tag, {});
        finished();
        break;
      }
      case Step::create_network:
        console.say(describe(action, false));
        client.create_network(action.target);
        finished();
        break;
      case Step::create_volume:
        console.say(describe(action, false));
        client.create_volume(action.target, "local");
        finished();
        break;
      case Step::remove_container:
        console.say(describe(action, false));
        client.stop_container(action.target);
        client.remove_container(action.target);
        finished();
        break;
      default:
        break;
    }
  }

  // Every container is defined before any is taken down, so a refused
  // definition leaves the product running as it was.
  std::vector<std::pair<std::size_t, Phase::Job>> creations;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Action& action = plan[i];
    if (action.step != Step::create_container && action.step != Step::recreate_container) continue;
    creations.emplace_back(i, [&client, &action](const Phase::Print& out) {
      out(describe(action, false));
      const bool replacing = action.step == Step::recreate_container;
      create_and_join(client, *action.definition,
                      replacing ? replacement_name(action.target) : action.target);
    });
  }
  std::set<std::size_t> created;
  run_phase(jobs, console, creations, created, finished_creation);

  // Volumes are mounted by name, so a replacement finds the data where the
  // old container left it.
  std::vector<std::pair<std::size_t, Phase::Job>> swaps;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Action& action = plan[i];
    if (action.step == Step::recreate_container) {
      swaps.emplace_back(i, [&client, &action](const Phase::Print& out) {
        out("replacing container " + action.target);
        client.stop_container(action.old_id);
        client.remove_container(action.old_id);
        client.rename_container(replacement_name(action.target), action.target);
        if (action.start) client.start_container(action.target);
      });
    } else if (action.step == Step::create_container && action.start) {
      swaps.emplace_back(i, [&client, &action](const Phase::Print& out) {
        out("starting container " + action.target);
        client.start_container(action.target);
      });
    } else if (action.step == Step::start_container || action.step == Step::stop_container) {
      swaps.emplace_back(i, [&client, &action](const Phase::Print& out) {
        out(describe(action, false));
        if (action.step == Step::start_container)
          client.start_container(action.target);
        else
          client.stop_container(action.target);
      });
    }
  }
  std::set<std::size_t> swapped;
  run_phase(jobs, console, swaps, swapped, finished_swap);

  Applied applied;
  for (std::size_t i : swapped) {
    const Action& action = plan[i];
    if (action.step == Step::recreate_container) applied.recreated.push_back(action.target);
    if (action.step == Step::create_container) applied.created.push_back(action.target);
    if (action.step != Step::stop_container && (action.step == Step::start_container || action.start))
      applied.started.push_back(action.target);
  }

  for (std::size_t i = 0; i < plan.size(); ++i) {
    const Action& action = plan[i];
    if (action.step == Step::remove_volume) {
      console.say(describe(action, false));
      client.remove_volume(action.target);
      finished();
    } else if (action.step == Step::remove_image) {
      console.say(describe(action, false));
      client.remove_image(action.target, false);
      finished();
    }
  }
  return applied;
}

}  // namespace bootstrap::installer
