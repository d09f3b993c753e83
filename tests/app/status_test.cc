// `bootstrap status`: gathering what the engine has of an application (on the
// fake engine, and on the sandbox engine), the two renderings, and the
// program's exit statuses.
#include "bootstrap/app/status.h"

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "fakes/fake_host.h"
#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/fake_engine.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using survey::ProductStatus;
using survey::ServiceStatus;
using installer::ServiceDescription;
using installer::ServiceList;
using installer::lumadex::LumadexInstaller;
using nlohmann::json;

ServiceDescription service(const std::string& name, std::vector<std::string> networks,
                           std::vector<std::string> volumes = {}) {
  ServiceDescription s;
  s.name = name;
  s.image = "kestro/probe";
  s.networks = std::move(networks);
  if (!volumes.empty()) s.volumes = std::move(volumes);
  return s;
}

const ServiceStatus& row(const ProductStatus& status, const std::string& service_name) {
  for (const ServiceStatus& s : status.services)
    if (s.service == service_name) return s;
  throw std::out_of_range("no status row for " + service_name);
}

// A small application in every state a service can be in.
class StatusOnFakeEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeEngine::Container& web = engine_.add_container("app-web", "kestro/probe:1", "running");
    web.definition.cpuset_cpus = "0-1";
    web.started_at = 1000;
    web.restart_count = 2;
    web.networks = {{"app-front", {"web"}}};  // has not joined app-back
    engine_.add_container("app-db", "kestro/probe", "exited").networks = {{"app-back", {"db"}}};
    engine_.add_container("app-db_1", "kestro/probe", "running");
    engine_.add_container("app-db_2", "kestro/probe", "exited");
    engine_.add_container("app-db_x", "kestro/probe", "running");      // not a number
    engine_.add_container("app-db-extra_1", "kestro/probe", "running");  // another name
    engine_.add_container("other-cache", "kestro/probe", "running");
    engine_.add_network("app-front");
    engine_.add_volume("app-data");
  }

  const ServiceList services_ = {
      service("web", {"front", "back"}, {"data:/data", "/var/run/docker.sock:/var/run/docker.sock"}),
      service("db", {"back"}, {"data:/var/db", "logs:/logs"}),
      service("cache", {"back"})};
  FakeEngine engine_;
};

TEST_F(StatusOnFakeEngine, EachServiceAsTheEngineHasIt) {
  ProductStatus status = survey::gather_status(engine_, "app", services_);

  ASSERT_EQ(3u, status.services.size());
  EXPECT_EQ("web", status.services[0].service);
  EXPECT_EQ("cache", status.services[2].service);

  const ServiceStatus& web = row(status, "web");
  EXPECT_EQ("app-web", web.container);
  EXPECT_EQ("running", web.state);
  EXPECT_EQ("kestro/probe:1", web.image);
  EXPECT_EQ("0-1", web.cpuset);
  EXPECT_EQ(0, web.workers);
  EXPECT_EQ((std::vector<std::string>{"app-front", "app-back"}), web.networks);
  EXPECT_EQ((std::vector<std::string>{"app-back"}), web.networks_missing);

  const ServiceStatus& db = row(status, "db");
  EXPECT_EQ("exited", db.state);
  EXPECT_EQ("", db.cpuset);
  EXPECT_EQ(2, db.workers) << "app-db_1 and app-db_2; not app-db_x, not app-db-extra_1";
  EXPECT_EQ(1, db.workers_running);
  EXPECT_TRUE(db.networks_missing.empty());

  const ServiceStatus& cache = row(status, "cache");
  EXPECT_EQ("missing", cache.state);
  EXPECT_EQ("", cache.image);
  EXPECT_EQ((std::vector<std::string>{"app-back"}), cache.networks_missing);

  // Networks and named volumes in the order their services first name them;
  // host paths are not volumes.
  ASSERT_EQ(2u, status.networks.size());
  EXPECT_EQ("app-front", status.networks[0].name);
  EXPECT_TRUE(status.networks[0].present);
  EXPECT_EQ("app-back", status.networks[1].name);
  EXPECT_FALSE(status.networks[1].present);
  ASSERT_EQ(2u, status.volumes.size());
  EXPECT_EQ("app-data", status.volumes[0].name);
  EXPECT_TRUE(status.volumes[0].present);
  EXPECT_EQ("app-logs", status.volumes[1].name);
  EXPECT_FALSE(status.volumes[1].present);

  EXPECT_FALSE(status.all_running());
  EXPECT_EQ((std::vector<std::string>{"app-db (exited)", "app-cache (missing)"}), status.not_running());

  // Running again after a restart less than a minute ago is not running.
  ProductStatus looping = survey::gather_status(engine_, "app", services_, 1030);
  EXPECT_EQ("crashing", row(looping, "web").state);
  EXPECT_EQ(30, row(looping, "web").uptime);
  EXPECT_EQ("app-web (crashing)", looping.not_running().front());
  engine_.requests_.clear();
  status = survey::gather_status(engine_, "app", services_, 1060);
  EXPECT_EQ("running", row(status, "web").state);

  // Read-only: listings and inspections of the two containers that exist.
  EXPECT_EQ((std::vector<std::string>{"list containers all", "inspect app-web", "inspect app-db",
                                      "list networks", "list volumes"}),
            engine_.requests_);
}

TEST_F(StatusOnFakeEngine, EngineFailures) {
  {
    // A container removed between the listing and its inspection is missing.
    engine_.fail_next("inspect app-web", docker::NotFound("inspect app-web", 404, "No such container"));
    ProductStatus status = survey::gather_status(engine_, "app", services_);
    EXPECT_EQ("missing", row(status, "web").state);
    EXPECT_EQ("", row(status, "web").cpuset);
    EXPECT_EQ(row(status, "web").networks, row(status, "web").networks_missing);
    EXPECT_EQ("exited", row(status, "db").state);
  }
  {
    engine_.fail_next("inspect app-db", docker::ApiError("inspect app-db", 500, "boom"));
    EXPECT_THROW(survey::gather_status(engine_, "app", services_), docker::ApiError);
  }
  {
    engine_.fail_next("list containers",
                      docker::ConnectionError("list containers", "unix:///nowhere", "refused"));
    EXPECT_THROW(survey::gather_status(engine_, "app", services_), docker::ConnectionError);
  }
}

TEST_F(StatusOnFakeEngine, TextAndJson) {
  ProductStatus status = survey::gather_status(engine_, "app", services_, 1000 + 7300);

  std::vector<std::string> lines = lines_of(app::render_status_text(status));
  ASSERT_EQ(14u, lines.size()) << app::render_status_text(status);
  EXPECT_EQ(
      "CONTAINER  STATE    UPTIME  RESTARTS  IMAGE           CPUSET  CONTAINERS     NETWORKS",
      lines[0]);
  EXPECT_EQ(
      "app-web    running  2h      2         kestro/probe:1  0-1     1              1/2 missing "
      "app-back",
      lines[1]);
  EXPECT_EQ("app-db     exited   -       0         kestro/probe    -       3 (1 running)  1/1",
            lines[2]);
  EXPECT_EQ("app-cache  missing  -       -         -               -       0              -",
            lines[3]);
  EXPECT_EQ("", lines[4]);
  EXPECT_EQ("NETWORK    STATE", lines[5]);
  EXPECT_EQ("app-front  present", lines[6]);
  EXPECT_EQ("app-back   missing", lines[7]);
  EXPECT_EQ("VOLUME    STATE", lines[9]);
  EXPECT_EQ("app-logs  missing", lines[11]);
  EXPECT_EQ("1 of 3 services running", lines[13]);

  json document = json::parse(app::render_status_json(status));
  EXPECT_EQ("app", document["application"]);
  EXPECT_EQ(false, document["all_running"]);
  ASSERT_EQ(3u, document["services"].size());
  const json& web = document["services"][0];
  EXPECT_EQ("app-web", web["container"]);
  EXPECT_EQ("0-1", web["cpuset"]);
  EXPECT_EQ(7300, web["uptime_seconds"]);
  EXPECT_EQ(2, web["restarts"]);
  EXPECT_TRUE(document["services"][2]["uptime_seconds"].is_null());
  EXPECT_EQ(json::array({"app-back"}), web["networks_missing"]);
  const json& db = document["services"][1];
  EXPECT_EQ(2, db["workers"]);
  EXPECT_EQ(1, db["workers_running"]);
  EXPECT_EQ(3, db["containers"]);
  EXPECT_TRUE(document["services"][2]["image"].is_null()) << "a missing container has no image";
  EXPECT_EQ((json{{"name", "app-back"}, {"present", false}}), document["networks"][1]);
  EXPECT_EQ((json{{"name", "app-data"}, {"present", true}}), document["volumes"][0]);
}

// The product installed by the real installer on the fake engine: status finds
// every object under the names the installer gave it.
TEST(StatusOfTheProduct, AfterAnInstallAndAScale) {
  auto engine = std::make_shared<FakeEngine>();
  engine->ncpu_ = 2;
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services) engine->add_image(s.image);
  FakeHost fake_host;
  LumadexInstaller product({fake_host.host, [engine] { return engine; }, {}});
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(product.install());
  product.scale("worker", 3);
  ::testing::internal::GetCapturedStdout();
  engine->requests_.clear();

  ProductStatus status = survey::gather_status(*engine, LumadexInstaller::application_name,
                                            LumadexInstaller::lumadex_services);
  EXPECT_TRUE(status.all_running()) << ::testing::PrintToString(status.not_running());
  ASSERT_EQ(13u, status.services.size());
  for (const ServiceStatus& s : status.services) {
    SCOPED_TRACE(s.container);
    EXPECT_EQ("running", s.state);
    EXPECT_EQ("0-1", s.cpuset) << "every catalogue set cut to the engine's 2 CPUs";
    EXPECT_FALSE(s.networks.empty());
    EXPECT_TRUE(s.networks_missing.empty());
    EXPECT_EQ(s.service == "worker" ? 2 : 0, s.workers);
  }
  EXPECT_EQ("lmdx2/app", row(status, "api").image);
  EXPECT_EQ("elasticsearch:7.12.1", row(status, "es1").image);
  EXPECT_EQ(4u, row(status, "beater").networks.size());
  EXPECT_EQ(4u, status.networks.size());
  EXPECT_EQ(8u, status.volumes.size());
  for (const survey::ObjectStatus& o : status.networks) EXPECT_TRUE(o.present) << o.name;
  for (const survey::ObjectStatus& o : status.volumes) EXPECT_TRUE(o.present) << o.name;
  for (const std::string& r : engine->requests_)
    EXPECT_TRUE(starts_with(r, "list ") || starts_with(r, "inspect ")) << "status asked: " << r;

  // One search node stopped, one worker gone.
  engine->stop_container("lumadex-es2");
  engine->stop_container("lumadex-worker_2");
  engine->remove_container("lumadex-worker_2");
  status = survey::gather_status(*engine, LumadexInstaller::application_name,
                              LumadexInstaller::lumadex_services);
  EXPECT_EQ((std::vector<std::string>{"lumadex-es2 (exited)"}), status.not_running());
  EXPECT_EQ(1, row(status, "worker").workers);
}

// --- On the sandbox engine -----------------------------------------------------

constexpr const char* kApplication = "kestro-ops";

class StatusOnSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    client_ = sandbox_client();
    remove_objects(*client_, {std::string(kApplication) + "-"});
  }
  void TearDown() override {
    if (client_) remove_objects(*client_, {std::string(kApplication) + "-"});
  }
  std::shared_ptr<docker::Client> client_;
};

TEST_F(StatusOnSandbox, ReadsWhatTheEngineReallyHas) {
  ServiceDescription web = service("web", {"back"}, {"data:/data"});
  web.cpuset = "0-3";
  const ServiceList installed = {web, service("idle", {"back"}), service("gone", {"back"})};
  FakeHost fake_host;
  printed_by([&] {
    installer::KestroInstaller installer(kApplication, installed, client_, fake_host.host);
    ASSERT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
    installer.scale_service("idle", 3);
    // Named like a worker, but with no number: not one.
    ServiceDescription decoy;
    decoy.name = "decoy";
    decoy.image = "kestro/probe";
    installer.prepare_container(decoy, "kestro-ops-idle_x");
  });
  client_->stop_container("kestro-ops-idle");
  client_->stop_container("kestro-ops-gone");
  client_->remove_container("kestro-ops-gone");

  // Asked about a wider service list than was installed: web should also
  // have joined "front", which was never made.
  ServiceList asked = installed;
  asked[0].networks = std::vector<std::string>{"front", "back"};
  const int ncpu = client_->info().ncpu;
  ProductStatus status = survey::gather_status(*client_, kApplication, asked);

  const ServiceStatus& w = row(status, "web");
  EXPECT_EQ("running", w.state);
  EXPECT_EQ("kestro/probe", w.image);
  EXPECT_EQ(installer::resolve_cpuset("0-3", static_cast<unsigned>(ncpu)).cpus, w.cpuset);
  EXPECT_EQ((std::vector<std::string>{"kestro-ops-front"}), w.networks_missing);
  const ServiceStatus& idle = row(status, "idle");
  EXPECT_EQ("exited", idle.state);
  EXPECT_EQ("", idle.cpuset);
  EXPECT_EQ(2, idle.workers);
  EXPECT_EQ(2, idle.workers_running);
  EXPECT_EQ(3, idle.containers()) << "scaled to 3";
  EXPECT_TRUE(idle.networks_missing.empty());
  EXPECT_EQ("missing", row(status, "gone").state);

  ASSERT_EQ(2u, status.networks.size());
  EXPECT_FALSE(status.networks[0].present);  // kestro-ops-front
  EXPECT_TRUE(status.networks[1].present);   // kestro-ops-back
  ASSERT_EQ(1u, status.volumes.size());
  EXPECT_TRUE(status.volumes[0].present);
  EXPECT_EQ((std::vector<std::string>{"kestro-ops-idle (exited)", "kestro-ops-gone (missing)"}),
            status.not_running());
}

// The program itself on the sandbox: whatever state the product is in, the
// JSON document covers the whole catalogue and the exit status agrees with it.
TEST(StatusProgram, JsonAndExitStatusOnTheSandbox) {
  REQUIRE_SANDBOX();
  RunResult r = run_program({program_dir() + "/bootstrap", "status", "--json"});
  ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << "\n" << r.err;
  json document = json::parse(r.out);
  EXPECT_EQ("lumadex", document["application"]);
  EXPECT_EQ(13u, document["services"].size());
  EXPECT_EQ(4u, document["networks"].size());
  EXPECT_EQ(8u, document["volumes"].size());
  const bool all_running = document["all_running"].get<bool>();
  EXPECT_EQ(all_running ? 0 : 1, r.status);
  if (all_running)
    EXPECT_EQ("", r.err);
  else
    EXPECT_EQ(1u, lines_of(r.err).size()) << r.err;
}

}  // namespace
}  // namespace bootstrap::testing
