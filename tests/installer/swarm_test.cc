// The swarm deployment on the fake engine: the exact service definitions,
// and what a real sandbox swarm cannot be made to show on demand (an engine
// outside a swarm or a worker, a node that changed under us, tasks that keep
// failing in a chosen way, a one-node swarm).
#include "bootstrap/installer/swarm_deployment.h"

#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/docker/dry_run_client.h"
#include "bootstrap/docker/swarm_codec.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "tests/support/fake_engine.h"

namespace bootstrap::installer {
namespace {

using json = nlohmann::json;
using lumadex::LumadexInstaller;

const ServiceDescription& catalogue_entry(const std::string& name) {
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services)
    if (s.name == name) return s;
  throw std::out_of_range(name);
}

// A two-node swarm whose manager is the engine the installer talks to.
void make_swarm(testing::FakeEngine& engine) {
  engine.swarm_ = {"n1", "active", true, ""};
  engine.nodes_ = {{"n1", 5, "host-a", "", "manager", "active", "ready", "10.0.0.1", {}},
                   {"n2", 7, "host-b", "", "worker", "active", "ready", "10.0.0.2", {}}};
}

struct SteppingTimer : Timer {
  std::chrono::steady_clock::time_point at{};
  std::chrono::steady_clock::time_point now() override { return at; }
  void sleep(std::chrono::milliseconds duration) override { at += duration; }
};

TEST(SwarmSpec, StatelessAndStatefulServicesAsTheEngineGetsThem) {
  testing::FakeEngine engine;
  std::ostringstream out;
  SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);

  json api = json::parse(docker::service_spec_body(
      deployment.service_spec(catalogue_entry("api"), 2, SwarmOptions{})));
  api["Labels"].erase("io.kestro.definition");
  EXPECT_EQ(json::parse(R"({
    "Name": "lumadex-api",
    "Labels": {"io.kestro.application": "lumadex"},
    "TaskTemplate": {
      "ContainerSpec": {
        "Image": "lmdx2/app",
        "Args": ["/bin/sh", "-c", "./start.sh api"],
        "Env": ["TZ=Asia/Istanbul",
                "WNAME={{if eq .Task.Slot \"1\"}}Api{{else}}api_{{.Task.Slot}}{{end}}",
                "HEALTHCHECK=elasticsearch cache"],
        "Mounts": [{"Type": "volume", "Source": "lumadex-temp-vol", "Target": "/temp-vol",
                    "ReadOnly": false}]},
      "RestartPolicy": {"Condition": "any"},
      "ForceUpdate": 0,
      "Resources": {"Limits": {"NanoCPUs": 2000000000}},
      "Networks": [{"Target": "lumadex-es-net", "Aliases": ["api"]},
                   {"Target": "lumadex-streaming-net", "Aliases": ["api"]},
                   {"Target": "lumadex-worker-net", "Aliases": ["api"]},
                   {"Target": "lumadex-cache-net", "Aliases": ["api"]}]},
    "Mode": {"Replicated": {"Replicas": 1}},
    "UpdateConfig": {"Parallelism": 1, "Order": "start-first", "FailureAction": "pause"},
    "EndpointSpec": {"Mode": "dnsrr", "Ports": [{"Protocol": "tcp", "TargetPort": 5000,
                                                 "PublishedPort": 5000, "PublishMode": "host"}]}
  })"), api);

  // A search node keeps data: pinned by its label, stopped before its
  // replacement starts, its memlock limit carried over.
  docker::ServiceSpec es1 = deployment.service_spec(catalogue_entry("es1"), 8, SwarmOptions{});
  EXPECT_EQ(std::vector<std::string>{"node.labels.io.kestro.place.lumadex-es1==true"},
            es1.constraints);
  EXPECT_EQ("stop-first", es1.update_order);
  EXPECT_EQ((std::vector<docker::Ulimit>{{"memlock", -1, -1}}), es1.ulimits);
  EXPECT_EQ(4'000'000'000, es1.nano_cpus);  // "0-3" on 8 CPUs

  // The routing mesh publishes through ingress, with a virtual IP.
  docker::ServiceSpec meshed =
      deployment.service_spec(catalogue_entry("api"), 2, SwarmOptions{{}, true});
  EXPECT_EQ("vip", meshed.endpoint_mode);
  EXPECT_EQ("ingress", meshed.ports.at(0).mode);
}

TEST(SwarmInstall, RefusedBeforeAnyChange) {
  std::ostringstream out;
  {
    testing::FakeEngine engine;  // not in a swarm
    SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
    try {
      deployment.install(SwarmOptions{});
      ADD_FAILURE() << "installed outside a swarm";
    } catch (const SwarmRefusal& e) {
      EXPECT_NE(std::string(e.what()).find("`docker swarm init`"), std::string::npos) << e.what();
    }
    EXPECT_EQ(std::vector<std::string>{"info"}, engine.requests_);
  }
  {
    testing::FakeEngine engine;
    make_swarm(engine);
    engine.swarm_.manager = false;  // a worker
    SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
    EXPECT_THROW(deployment.install(SwarmOptions{}), SwarmRefusal);
    EXPECT_EQ(std::vector<std::string>{"info"}, engine.requests_);
  }
  auto refused = [&](const SwarmOptions& options, const std::string& why) {
    testing::FakeEngine engine;
    make_swarm(engine);
    SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
    try {
      deployment.install(options);
      ADD_FAILURE() << "installed despite " << why;
    } catch (const SwarmRefusal& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
    for (const std::string& line : engine.requests_)
      EXPECT_TRUE(line.rfind("create", 0) != 0 && line.rfind("update", 0) != 0) << line;
  };
  refused(SwarmOptions{{{"api", "host-b"}}, false}, "api keeps no data");
  refused(SwarmOptions{{{"es1", "host-z"}}, false}, "no node \"host-z\"");
}

TEST(SwarmInstall, PinsDataServicesLabelsNodesAndConvergesOnASecondRun) {
  testing::FakeEngine engine;
  make_swarm(engine);
  std::ostringstream out;
  SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
  deployment.install(SwarmOptions{{{"es2", "host-b"}}, false});

  EXPECT_EQ(13u, engine.services_.size());
  EXPECT_EQ(13u, deployment.changed().size());
  EXPECT_EQ((std::vector<std::string>{"lumadex-worker-net", "lumadex-cache-net",
                                      "lumadex-es-net", "lumadex-streaming-net"}),
            engine.network_names());
  EXPECT_EQ("lumadex", engine.overlay_labels_.at("lumadex-es-net").at(kApplicationLabel));
  // Every service with a data volume is pinned: es2 where asked, the rest to
  // the manager; the stateless roles and the scratch volume's users are not.
  std::map<std::string, std::string> manager_labels = engine.nodes_[0].labels;
  EXPECT_EQ((std::map<std::string, std::string>{
                {"io.kestro.place.lumadex-cache", "true"},
                {"io.kestro.place.lumadex-coordinator", "true"},
                {"io.kestro.place.lumadex-es1", "true"},
                {"io.kestro.place.lumadex-queue", "true"},
                {"io.kestro.place.lumadex-streaming", "true"}}),
            manager_labels);
  EXPECT_EQ((std::map<std::string, std::string>{{"io.kestro.place.lumadex-es2", "true"}}),
            engine.nodes_[1].labels);
  EXPECT_TRUE(SwarmDeployment::installed(engine, "lumadex"));
  EXPECT_FALSE(SwarmDeployment::installed(engine, "other"));

  // Scaled, then installed again: nothing to do, the replica count stays.
  deployment.scale("worker", 3);
  engine.requests_.clear();
  deployment.install(SwarmOptions{{{"es2", "host-b"}}, false});
  EXPECT_TRUE(deployment.changed().empty());
  for (const std::string& line : engine.requests_)
    EXPECT_TRUE(line.rfind("create", 0) != 0 && line.rfind("update", 0) != 0) << line;
  for (const docker::ServiceRef& s : engine.services_)
    EXPECT_EQ(s.spec.name == "lumadex-worker" ? 3u : 1u, s.spec.replicas) << s.spec.name;

  // Uninstalled: services, networks and placement labels go.
  deployment.uninstall();
  EXPECT_TRUE(engine.services_.empty());
  EXPECT_TRUE(engine.network_names().empty());
  EXPECT_TRUE(engine.nodes_[0].labels.empty());
  EXPECT_TRUE(engine.nodes_[1].labels.empty());
}

TEST(SwarmUpdate, PinsTheRegistrysDigestAndRollsOnlyWhatChanged) {
  testing::FakeEngine engine;
  make_swarm(engine);
  std::ostringstream out;
  SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
  deployment.install(SwarmOptions{});
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services)
    engine.digests_[s.image] = "sha256:1111";

  // A digest the registry cannot give stops the update before any change.
  engine.digests_.erase("redis:6.0.4");
  engine.requests_.clear();
  EXPECT_THROW(deployment.update(), std::runtime_error);
  for (const std::string& line : engine.requests_)
    EXPECT_TRUE(line.rfind("update", 0) != 0) << line;

  engine.digests_["redis:6.0.4"] = "sha256:1111";
  deployment.update();
  EXPECT_EQ(13u, deployment.changed().size());
  EXPECT_EQ("lmdx2/app@sha256:1111", engine.services_.back().spec.image);

  // Only the application image moved on: only its roles roll, and an
  // install keeps the pinned images.
  engine.digests_["lmdx2/app"] = "sha256:2222";
  deployment.update();
  EXPECT_EQ((std::vector<std::string>{"lumadex-beater", "lumadex-worker-shortops",
                                      "lumadex-worker-task", "lumadex-worker-trigger",
                                      "lumadex-worker", "lumadex-worker-ocr", "lumadex-api"}),
            deployment.changed());
  deployment.install(SwarmOptions{});
  EXPECT_TRUE(deployment.changed().empty());
}

TEST(SwarmUpdate, OneNodeCannotTakeAStartFirstTaskOfAHostPort) {
  testing::FakeEngine engine;
  make_swarm(engine);
  engine.nodes_[1].state = "down";
  std::ostringstream out;
  SwarmDeployment deployment("lumadex", LumadexInstaller::lumadex_services, engine, out);
  deployment.install(SwarmOptions{});
  for (const docker::ServiceRef& s : engine.services_)
    EXPECT_EQ(s.spec.name == "lumadex-api" || s.spec.constraints.size() == 1 ? "stop-first"
                                                                              : "start-first",
              s.spec.update_order)
        << s.spec.name;
}

// A task as the engine lists it.
docker::TaskRef task(const std::string& service, const std::string& state,
                     const std::string& node = "n2", const std::string& why = "",
                     std::int64_t at = 0) {
  static int serial = 0;
  docker::TaskRef t{"t" + std::to_string(++serial), "id-" + service, node, 1, "running", state,
                    "", "", 0, at};
  (state == "pending" ? t.message : t.error) = why;
  return t;
}

// Runs `then` at its first sleep: the engine changes while the watch waits.
struct ChangingTimer : SteppingTimer {
  std::function<void()> then;
  void sleep(std::chrono::milliseconds duration) override {
    if (then) std::exchange(then, nullptr)();
    SteppingTimer::sleep(duration);
  }
};

TEST(SwarmWatch, PassesRunningServicesAndReportsFailingOrStuckOnes) {
  testing::FakeEngine engine;
  make_swarm(engine);
  const ServiceList two = {catalogue_entry("api"), catalogue_entry("cache")};
  std::ostringstream out;
  SwarmDeployment deployment("lumadex", two, engine, out);
  deployment.install(SwarmOptions{});
  const SettleOptions options{std::chrono::seconds(5), std::chrono::seconds(30), false};

  // Failures from before the watch are history: running replicas pass once
  // the settle period is over.
  engine.tasks_ = {task("lumadex-api", "failed", "n2", "old"), task("lumadex-api", "failed"),
                   task("lumadex-api", "running"), task("lumadex-cache", "running")};
  SteppingTimer passing;
  out.str("");
  deployment.watch(options, passing);
  EXPECT_EQ(std::chrono::seconds(5), passing.at.time_since_epoch());
  EXPECT_EQ("checking that 2 services come up and stay up (5 s)\n", out.str());

  // Two failures during the watch: the newest errors first, with their node.
  engine.tasks_ = {task("lumadex-api", "running")};
  ChangingTimer failing;
  failing.then = [&] {
    engine.tasks_.push_back(task("lumadex-cache", "failed", "n1", "task: non-zero exit (3)", 10));
    engine.tasks_.push_back(task("lumadex-cache", "rejected", "n1", "No such image: redis", 20));
  };
  out.str("");
  try {
    deployment.watch(options, failing);
    ADD_FAILURE() << "the watch passed";
  } catch (const SettleFailure& e) {
    EXPECT_STREQ("tasks keep failing: lumadex-cache", e.what());
  }
  EXPECT_EQ(
      "checking that 2 services come up and stay up (5 s)\n"
      "lumadex-cache: 2 tasks failed\n"
      "  task 1 on host-a: rejected: No such image: redis\n"
      "  task 1 on host-a: failed: task: non-zero exit (3)\n",
      out.str());

  // An update the engine paused is a failure as it stands, whatever runs.
  engine.tasks_ = {task("lumadex-api", "running"), task("lumadex-cache", "running")};
  engine.services_[0].update_state = "paused";
  engine.services_[0].update_message = "update paused due to failure of task t9";
  SteppingTimer paused;
  out.str("");
  EXPECT_THROW(deployment.watch(options, paused), SettleFailure);
  EXPECT_NE(out.str().find("lumadex-api: its update stopped (paused: update paused due to "
                           "failure of task t9)\n"),
            std::string::npos)
      << out.str();
  engine.services_[0].update_state = "completed";

  // A task no node can take waits until the timeout, then says why.
  engine.tasks_ = {task("lumadex-api", "running"),
                   task("lumadex-cache", "pending", "", "no suitable node")};
  SteppingTimer stuck;
  out.str("");
  EXPECT_THROW(deployment.watch(options, stuck), SettleFailure);
  EXPECT_EQ(std::chrono::seconds(30), stuck.at.time_since_epoch());
  EXPECT_EQ(
      "checking that 2 services come up and stay up (5 s)\n"
      "lumadex-cache did not reach 1 running task\n"
      "  task 1: pending: no suitable node\n",
      out.str());
}

TEST(SwarmDryRun, DescribesEveryChangeAndMakesNone) {
  auto engine = std::make_shared<testing::FakeEngine>();
  make_swarm(*engine);
  std::ostringstream out;
  docker::DryRunClient dry(engine, out);
  const ServiceList two = {catalogue_entry("api"), catalogue_entry("es1")};
  SwarmDeployment deployment("lumadex", two, dry, out);
  deployment.describe_only = true;
  deployment.install(SwarmOptions{});
  EXPECT_TRUE(engine->services_.empty());
  EXPECT_TRUE(engine->network_names().empty());
  EXPECT_TRUE(engine->nodes_[0].labels.empty());
  const std::string said = out.str();
  for (const char* line : {"would create overlay network lumadex-es-net\n",
                           "would set the labels of swarm node host-a to "
                           "io.kestro.place.lumadex-es1=true\n",
                           "would create service lumadex-api from lmdx2/app (1 replica)\n",
                           "would create service lumadex-es1 from elasticsearch:7.12.1 (1 "
                           "replica)\n"})
    EXPECT_NE(said.find(line), std::string::npos) << line << " not in:\n" << said;
  EXPECT_EQ(said.find("creating"), std::string::npos) << said;
}

}  // namespace
}  // namespace bootstrap::installer
