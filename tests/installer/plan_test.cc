// The in-place update's decisions as a table: an engine snapshot in, the
// plan's lines out.
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "bootstrap/installer/plan.h"
#include "bootstrap/installer/plan_executor.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using Lines = std::vector<std::string>;

const ServiceList kServices = {
    {"api", "lmdx2/app", "start api", std::nullopt, std::nullopt, std::nullopt,
     std::vector<std::string>{"queue-vol:/q"}, std::vector<std::string>{"app-net"}, "always",
     std::nullopt},
    {"queue", "kafka:2", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
     std::vector<std::string>{"queue-vol:/data"}, std::vector<std::string>{"app-net"}, "always",
     std::nullopt},
};

// The engine as an up-to-date installation leaves it: both services and
// worker 2 of the api running their definitions on the images the tags name.
EngineSnapshot installed(const Layout& layout) {
  EngineSnapshot s;
  s.networks = {{"n1", "lumadex-app-net"}};
  s.volumes = {{"lumadex-queue-vol", "local"}};
  s.images = {{"lmdx2/app", "sha256:aaaaaaaaaaaa01"}, {"kafka:2", "sha256:kkkkkkkkkkkk01"}};
  auto container = [&](const ContainerDefinition& d, const std::string& image_id) {
    docker::ContainerRef c{"id-" + d.request.name, d.request.name, d.request.image, "running",
                           {{kDefinitionLabel, d.digest}}};
    c.image_id = image_id;
    return c;
  };
  s.containers = {container(layout.definition(kServices[0]), "sha256:aaaaaaaaaaaa01"),
                  container(layout.worker_definition(kServices[0], 2), "sha256:aaaaaaaaaaaa01"),
                  container(layout.worker_definition(kServices[0], 3), "sha256:aaaaaaaaaaaa01"),
                  container(layout.definition(kServices[1]), "sha256:kkkkkkkkkkkk01")};
  s.containers[2].state = "exited";
  return s;
}

docker::ContainerRef& named(EngineSnapshot& s, const std::string& name) {
  for (docker::ContainerRef& c : s.containers)
    if (c.name == name) return c;
  throw std::out_of_range(name);
}

Lines plan_lines(const Layout& layout, const EngineSnapshot& snapshot) {
  Lines out;
  for (const Action& a : plan_update_in_place(layout, snapshot))
    out.push_back(describe(a, true) + (a.start ? " (start)" : "") +
                  (a.old_id.empty() ? "" : " (replaces " + a.old_id + ")"));
  return out;
}

TEST(PlanUpdateInPlace, Table) {
  const Layout layout("lumadex", kServices, 4u);
  struct Row {
    const char* what;
    std::function<void(EngineSnapshot&)> change;
    Lines plan;
  } rows[] = {
      {"nothing changed: nothing to do", [](EngineSnapshot&) {}, {}},
      {"the app tag moved: the app and its workers, numbers kept, the stopped one left stopped",
       [](EngineSnapshot& s) { s.images["lmdx2/app"] = "sha256:bbbbbbbbbbbb02"; },
       {"would recreate container lumadex-api: its image moved from aaaaaaaaaaaa to bbbbbbbbbbbb "
        "(start) (replaces id-lumadex-api)",
        "would recreate container lumadex-api_2: its image moved from aaaaaaaaaaaa to "
        "bbbbbbbbbbbb (start) (replaces id-lumadex-api_2)",
        "would recreate container lumadex-api_3: its image moved from aaaaaaaaaaaa to "
        "bbbbbbbbbbbb (replaces id-lumadex-api_3)"}},
      {"a definition changed: that container only",
       [](EngineSnapshot& s) { named(s, "lumadex-queue").labels[kDefinitionLabel] = "old"; },
       {"would recreate container lumadex-queue: its definition changed (start) (replaces "
        "id-lumadex-queue)"}},
      {"an unlabelled container is judged by its image reference, and the line names both images",
       [](EngineSnapshot& s) {
         named(s, "lumadex-queue").labels.clear();
         named(s, "lumadex-api").labels.clear();
         named(s, "lumadex-api").image = "lmdx2/app:1.0";
       },
       {"would recreate container lumadex-api: its image changed from lmdx2/app:1.0 to lmdx2/app "
        "(start) (replaces id-lumadex-api)"}},
      {"missing network, volume and container are created; a stopped one is started",
       [](EngineSnapshot& s) {
         s.networks.clear();
         s.volumes.clear();
         s.containers.erase(s.containers.begin());
         named(s, "lumadex-queue").state = "exited";
       },
       {"would create network lumadex-app-net: missing", "would create volume lumadex-queue-vol: missing",
        "would create container lumadex-api: missing (start)",
        "would start container lumadex-queue: it was exited"}},
      {"a replacement an interrupted run left is removed first; strangers are not",
       [](EngineSnapshot& s) {
         s.containers.push_back({"x", "lumadex-api.next", "lmdx2/app", "created", {}});
         s.containers.push_back({"y", "other.next", "lmdx2/app", "created", {}});
         s.containers.push_back({"z", "lumadex-api_x", "lmdx2/app", "running", {}});
       },
       {"would remove container lumadex-api.next: left over from an interrupted update"}},
      {"an image the engine lacks, or a container without an image id, moves nothing",
       [](EngineSnapshot& s) {
         s.images.erase("kafka:2");
         named(s, "lumadex-api").image_id.clear();
         s.images["lmdx2/app"] = "sha256:bbbbbbbbbbbb02";
       },
       {"would recreate container lumadex-api_2: its image moved from aaaaaaaaaaaa to "
        "bbbbbbbbbbbb (start) (replaces id-lumadex-api_2)",
        "would recreate container lumadex-api_3: its image moved from aaaaaaaaaaaa to "
        "bbbbbbbbbbbb (replaces id-lumadex-api_3)"}},
  };
  for (const Row& row : rows) {
    EngineSnapshot snapshot = installed(layout);
    row.change(snapshot);
    EXPECT_EQ(row.plan, plan_lines(layout, snapshot)) << row.what;
  }
}

// The order that keeps each outage short: the replacement exists before the
// old container stops; and a refused replacement stops nothing.
TEST(ApplyPlan, ReplacesAfterCreatingAndStopsNothingWhenACreationIsRefused) {
  const Layout layout("lumadex", kServices, 4u);
  const Plan plan = {{Step::recreate_container, "lumadex-api", "its image moved",
                      layout.definition(kServices[0]), "id-lumadex-api", true},
                     {Step::start_container, "lumadex-queue", "it was exited"}};
  for (bool refused : {false, true}) {
    testing::FakeEngine engine;
    engine.add_network("lumadex-app-net");
    engine.add_image("lmdx2/app");
    engine.add_container("lumadex-api", "lmdx2/app");
    engine.add_container("lumadex-queue", "kafka:2", "exited");
    if (refused) engine.fail_next("create container", docker::ApiError("create", 400, "no"));
    test::CapturedStdout out;
    int steps = 0;
    if (refused) {
      EXPECT_THROW(apply_plan(engine, plan, 1, base::Console::standard(), &steps),
                   docker::ApiError);
      EXPECT_EQ(Lines{"create container lumadex-api.next"}, engine.requests_);
      EXPECT_EQ(0, steps);
      continue;
    }
    apply_plan(engine, plan, 1, base::Console::standard(), &steps);
    EXPECT_EQ(2, steps);
    EXPECT_EQ((Lines{"create container lumadex-api.next", "connect lumadex-api.next to lumadex-app-net as api",
                     "stop lumadex-api", "remove container lumadex-api", "rename lumadex-api.next to lumadex-api",
                     "start lumadex-api", "start lumadex-queue"}),
              engine.requests_);
    EXPECT_EQ((Lines{"recreating container lumadex-api: its image moved", "replacing container lumadex-api",
                     "starting container lumadex-queue: it was exited"}),
              out.lines());
  }
}

}  // namespace
}  // namespace bootstrap::installer
