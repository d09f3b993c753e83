// The product's operations end to end against the sandbox engine: install,
// a second install, scaling, a versioned install, update and uninstall, and
// what each leaves on the engine (and what uninstall leaves alone).
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using installer::lumadex::LumadexInstaller;
using nlohmann::json;

// The line that ends a change: `what`, then the time it took.
void expect_outcome(const std::string& what, const std::string& line) {
  EXPECT_TRUE(line.rfind(what + " (", 0) == 0 && std::regex_search(line, std::regex(" \\([0-9]+\\.[0-9] s\\)$")))
      << "expected \"" << what << " (N.N s)\", got \"" << line << "\"";
}

std::vector<std::string> with_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (starts_with(l, prefix)) out.push_back(l);
  return out;
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

std::vector<std::string> container_names(const std::string& prefix) {
  std::vector<std::string> out;
  for (const char* s : {"beater", "worker-shortops", "worker-task", "worker-trigger", "worker",
                               "worker-ocr", "streaming", "coordinator", "es1", "es2", "queue",
                               "cache", "api"})
    out.push_back(prefix + "lumadex-" + std::string(s));
  return out;
}

// The CPU set a catalogue set becomes on an engine with `n` CPUs.
std::string cpuset_on(const std::string& asked, int n) {
  if (n >= 5) return asked == "4-x" ? "4-" + std::to_string(n - 1) : asked;
  return n == 1 ? "0" : "0-" + std::to_string(n - 1);
}

std::vector<std::string> our_env(const json& container) {
  std::vector<std::string> env;
  for (const json& e : container["Config"]["Env"]) {
    std::string s = e.get<std::string>();
    if (!starts_with(s, "PATH=")) env.push_back(s);
  }
  return env;
}

class Product : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    client_ = sandbox_client();
    remove_objects(*client_, {"lumadex-", "kestro-test-"});
    ncpu_ = client_->info().ncpu;
  }
  void TearDown() override {
    if (client_) remove_objects(*client_, {"lumadex-", "kestro-test-"});
  }

  std::string state(const std::string& container) {
    return inspect_document(container)["State"]["Status"].get<std::string>();
  }
  bool exists(const std::string& container) {
    for (const docker::ContainerRef& c : client_->list_containers(true))
      if (c.name == container) return true;
    return false;
  }
  bool volume_exists(const std::string& name) {
    for (const docker::VolumeRef& v : client_->list_volumes())
      if (v.name == name) return true;
    return false;
  }

  std::shared_ptr<docker::Client> client_;
  int ncpu_ = 0;
};

TEST_F(Product, InstallDefinesAndStartsEveryService) {
  SandboxProduct sandbox;
  std::vector<std::string> out;
  bool completed = false;
  out = printed_by([&] { completed = sandbox.product.install(); });
  ASSERT_TRUE(completed) << ::testing::PrintToString(out);

  EXPECT_EQ("installing lumadex", out.at(0));
  EXPECT_EQ("contacting server please wait", out.at(1));
  EXPECT_EQ((std::vector<std::string>{"creating network lumadex-worker-net", "creating network lumadex-cache-net",
                                      "creating network lumadex-es-net", "creating network lumadex-streaming-net"}),
            with_prefix(out, "creating network "));
  EXPECT_EQ(8u, with_prefix(out, "creating volume ").size());
  std::vector<std::string> installing = with_prefix(out, "installing lumadex-");
  std::vector<std::string> starting = with_prefix(out, "starting container ");
  std::vector<std::string> names = container_names("");
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ("installing " + names[i], installing.at(i));
    ASSERT_EQ("starting container " + names[i], starting.at(i));
  }
  EXPECT_LT(index_of(out, installing.back()), index_of(out, starting.front()))
      << "nothing starts before every service is defined";
  EXPECT_EQ(starting.back(), out.at(out.size() - 2));
  expect_outcome("lumadex is up: 13 of 13 running; 13 created", out.back());

  // Every definition as the engine holds it.
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services) {
    SCOPED_TRACE(s.name);
    json c = inspect_document("lumadex-" + s.name);
    EXPECT_EQ("running", c["State"]["Status"]);
    EXPECT_EQ(s.image, c["Config"]["Image"]);
    EXPECT_EQ("always", c["HostConfig"]["RestartPolicy"]["Name"]);
    EXPECT_EQ(cpuset_on(*s.cpuset, ncpu_), c["HostConfig"]["CpusetCpus"]);
    std::vector<std::string> env;
    for (const auto& [k, v] : s.environment.value_or(installer::KeyValues{})) env.push_back(k + "=" + v);
    EXPECT_EQ(env, our_env(c));
    for (const std::string& network : s.networks.value_or(std::vector<std::string>{})) {
      const json& endpoint = c["NetworkSettings"]["Networks"]["lumadex-" + network];
      ASSERT_TRUE(endpoint.is_object()) << network;
      auto aliases = endpoint["Aliases"].get<std::vector<std::string>>();
      EXPECT_NE(aliases.end(), std::find(aliases.begin(), aliases.end(), s.name)) << network;
    }
  }
  json api = inspect_document("lumadex-api");
  EXPECT_EQ((std::vector<std::string>{"/bin/sh", "-c", "./start.sh api"}),
            api["Config"]["Cmd"].get<std::vector<std::string>>());
  EXPECT_EQ("5000", api["HostConfig"]["PortBindings"]["5000/tcp"][0]["HostPort"]);
  EXPECT_EQ((std::vector<std::string>{"lumadex-temp-vol:/temp-vol:rw"}),
            api["HostConfig"]["Binds"].get<std::vector<std::string>>());
  json streaming = inspect_document("lumadex-streaming");
  EXPECT_EQ((std::vector<std::string>{"start-kafka.sh"}), streaming["Config"]["Cmd"].get<std::vector<std::string>>());
  EXPECT_EQ((std::vector<std::string>{"/var/run/docker.sock:/var/run/docker.sock:rw", "lumadex-streaming-vol:/kafka:rw"}),
            streaming["HostConfig"]["Binds"].get<std::vector<std::string>>());
  for (const char* node : {"lumadex-es1", "lumadex-es2"}) {
    json es = inspect_document(node);
    EXPECT_EQ(json::parse(R"([{"Name":"memlock","Soft":-1,"Hard":-1}])"), es["HostConfig"]["Ulimits"]) << node;
  }

  // Containers reach one another by short name on a shared network.
  RunResult lookup = run_program({"docker", "exec", "lumadex-api", "nslookup", "es1"});
  EXPECT_EQ(0, lookup.status) << lookup.out << lookup.err;
  std::string es1_address =
      inspect_document("lumadex-es1")["NetworkSettings"]["Networks"]["lumadex-es-net"]["IPAddress"];
  EXPECT_NE(std::string::npos, lookup.out.find(es1_address)) << lookup.out;

  // A second install creates and pulls nothing and starts everything again.
  SandboxProduct again;
  out = printed_by([&] { completed = again.product.install(); });
  EXPECT_TRUE(completed);
  EXPECT_TRUE(with_prefix(out, "creating ").empty()) << ::testing::PrintToString(out);
  EXPECT_TRUE(with_prefix(out, "pulling ").empty()) << ::testing::PrintToString(out);
  EXPECT_EQ(13u, with_prefix(out, "installing lumadex-").size());
  EXPECT_EQ(13u, with_prefix(out, "starting container ").size());
}

// The message of what `scale` throws.
std::string refusal(LumadexInstaller& product, const std::string& service, int count) {
  ::testing::internal::CaptureStdout();
  std::string what = "(not refused)";
  try {
    product.scale(service, count);
  } catch (const std::invalid_argument& e) {
    what = e.what();
  }
  ::testing::internal::GetCapturedStdout();
  return what;
}

TEST_F(Product, ScaleAddsAndTakesAwayWorkers) {
  SandboxProduct sandbox;
  // Refused before anything is created: nothing to join, nothing left behind.
  EXPECT_EQ("lumadex is not installed: run 'bootstrap install' first",
            refusal(sandbox.product, "worker", 2));
  EXPECT_FALSE(exists("lumadex-worker_1"));
  ASSERT_TRUE(printed_by([&] { ASSERT_TRUE(sandbox.product.install()); }).size() > 0);
  EXPECT_EQ("api publishes host port 5000, which one container alone can hold: it cannot run "
            "more than 1",
            refusal(sandbox.product, "api", 2));
  EXPECT_FALSE(exists("lumadex-api_1"));

  std::vector<std::string> out = printed_by([&] { sandbox.product.scale("worker", 3); });
  EXPECT_EQ((std::vector<std::string>{"starting lumadex-worker_1", "starting lumadex-worker_2"}),
            with_prefix(out, "starting "));
  expect_outcome("lumadex is up: 15 of 15 running; 2 created, 13 unchanged", out.back());
  json service = inspect_document("lumadex-worker");
  for (int n : {1, 2}) {
    std::string name = "lumadex-worker_" + std::to_string(n);
    SCOPED_TRACE(name);
    json w = inspect_document(name);
    EXPECT_EQ("running", w["State"]["Status"]);
    EXPECT_EQ("no", w["HostConfig"]["RestartPolicy"]["Name"]);
    EXPECT_EQ(service["HostConfig"]["CpusetCpus"], w["HostConfig"]["CpusetCpus"]);
    EXPECT_EQ((std::vector<std::string>{"TZ=Asia/Istanbul", "WNAME=worker_" + std::to_string(n),
                                        "HEALTHCHECK=elasticsearch cache queue worker"}),
              our_env(w));
  }

  out = printed_by([&] { sandbox.product.scale("worker", 3); });
  EXPECT_EQ(std::vector<std::string>{"worker already runs 3 containers"}, out);

  // A worker within range that was stopped stays stopped.
  client_->stop_container("lumadex-worker_1");
  out = printed_by([&] { sandbox.product.scale("worker", 3); });
  EXPECT_EQ(std::vector<std::string>{"worker already has 3 containers (2 running)"}, out);
  EXPECT_EQ("exited", state("lumadex-worker_1"));

  // Surplus workers go in the order the engine lists them (newest first here).
  out = printed_by([&] { sandbox.product.scale("worker", 1); });
  expect_outcome("lumadex is up: 13 of 13 running; 2 removed, 13 unchanged", out.back());
  out.pop_back();
  std::sort(out.begin(), out.end());
  EXPECT_EQ((std::vector<std::string>{"leaving from lumadex-worker_1", "leaving from lumadex-worker_2"}), out);
  EXPECT_FALSE(exists("lumadex-worker_1"));
  EXPECT_FALSE(exists("lumadex-worker_2"));
  EXPECT_EQ("running", state("lumadex-worker"));

  // The probe does the same through the deployment engine directly.
  printed_by([&] { sandbox.product.scale("worker", 2); });
  RunResult probe = run_program({program_dir() + "/scale_probe"});
  EXPECT_EQ(0, probe.status) << probe.err;
  EXPECT_EQ("leaving from lumadex-worker_1\n", probe.out);
}

TEST_F(Product, VersionedInstallThenUpdateKeepsTheDataVolumes) {
  SandboxProduct sandbox;
  bool completed = false;
  printed_by([&] { completed = sandbox.product.install(std::string("2.3")); });
  ASSERT_TRUE(completed);
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services) {
    std::string expected = s.image == "lmdx2/app" ? "lmdx2/app:2.3" : s.image;
    EXPECT_EQ(expected, inspect_document("lumadex-" + s.name)["Config"]["Image"]) << s.name;
    EXPECT_NE("lmdx2/app:2.3", s.image) << "the catalogue itself is never changed";
  }

  // Data in the search nodes' volume must survive an update.
  RunResult mark = run_program({"docker", "run", "--rm", "-v", "lumadex-es1-vol:/data", "kestro/probe",
                                "sh", "-c", "echo kept > /data/marker"});
  ASSERT_EQ(0, mark.status) << mark.err;

  // A local "latest" that the registry's differs from, used by no container:
  // the update fetches the registry's and removes this one once the new
  // containers run.
  for (const std::vector<std::string>& step :
       {std::vector<std::string>{"docker", "create", "--name", "kestro-test-source", "lmdx2/app"},
        std::vector<std::string>{"docker", "commit", "kestro-test-source", "lmdx2/app:latest"}}) {
    RunResult r = run_program(step);
    ASSERT_EQ(0, r.status) << r.err;
  }
  const std::string replaced = client_->get_image("lmdx2/app");

  std::vector<std::string> out = printed_by([&] { completed = sandbox.product.update(); });
  EXPECT_TRUE(completed) << ::testing::PrintToString(out);
  EXPECT_EQ("removing existing latest image lmdx2/app", out.at(out.size() - 2));
  expect_outcome("lumadex is up: 13 of 13 running; 13 recreated", out.back());
  EXPECT_THROW(client_->get_image(replaced), docker::ImageNotFound);
  const std::vector<std::string> milestones = {
      "updating lumadex", "lumadex runs lmdx2/app:2.3; update moves it to lmdx2/app:latest",
      "pulling lmdx2/app latest, please wait...", "uninstalling lumadex", "successfully uninstalled!", "removing cache volumes",
      "successfully removed cache volumes", "installing lumadex", "contacting server please wait"};
  std::size_t previous = 0;
  for (const std::string& m : milestones) {
    std::size_t at = index_of(out, m);
    ASSERT_LT(at, out.size()) << m << " missing from " << ::testing::PrintToString(out);
    EXPECT_LE(previous, at) << m;
    previous = at;
  }
  EXPECT_EQ(13u, with_prefix(out, "stopping container ").size());
  EXPECT_EQ(13u, with_prefix(out, "removing container ").size());
  EXPECT_EQ(4u, with_prefix(out, "removing network ").size());
  // Only the untagged application image is fetched anew, once for all roles.
  EXPECT_EQ((std::vector<std::string>{"pulling lmdx2/app latest, please wait..."}), with_prefix(out, "pulling "));
  EXPECT_EQ((std::vector<std::string>{"creating volume lumadex-temp-vol", "creating volume lumadex-streaming-vol",
                                      "creating volume lumadex-coordinator-conf-vol",
                                      "creating volume lumadex-coordinator-data-vol",
                                      "creating volume lumadex-queue-vol"}),
            with_prefix(out, "creating volume "));
  EXPECT_EQ("lmdx2/app", inspect_document("lumadex-api")["Config"]["Image"]);
  RunResult kept = run_program({"docker", "run", "--rm", "-v", "lumadex-es1-vol:/data", "kestro/probe",
                                "cat", "/data/marker"});
  EXPECT_EQ("kept\n", kept.out) << kept.err;

  // Uninstall twice: the second finds nothing and says so for each volume.
  // Containers that are not the product's stay as they are.
  client_->pull_image("kestro/probe", "latest", {});
  for (const char* name : {"kestro-test-foreign", "lumadex-worker2"}) {
    docker::ContainerSpec definition;
    definition.image = "kestro/probe";
    definition.name = name;
    client_->start_container(client_->create_container(definition).id);
  }
  printed_by([&] { sandbox.product.uninstall(); });
  EXPECT_EQ("running", state("kestro-test-foreign"));
  EXPECT_EQ("running", state("lumadex-worker2")) << "continues a service's name without \"_\"";
  EXPECT_FALSE(exists("lumadex-worker"));
  for (const char* kept_volume : {"lumadex-es1-vol", "lumadex-es2-vol", "lumadex-cache-vol"})
    EXPECT_TRUE(volume_exists(kept_volume)) << kept_volume;
  for (const std::string& removed : LumadexInstaller::removed_volumes) EXPECT_FALSE(volume_exists(removed)) << removed;
  out = printed_by([&] { sandbox.product.uninstall(); });
  ASSERT_EQ(10u, out.size()) << ::testing::PrintToString(out);
  expect_outcome("lumadex is not installed: nothing was removed", out.back());
  EXPECT_EQ("uninstalling lumadex", out[0]);
  EXPECT_EQ("successfully uninstalled!", out[1]);
  EXPECT_EQ("removing cache volumes", out[2]);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_NE(std::string::npos, out[3 + i].find(LumadexInstaller::removed_volumes[i])) << out[3 + i];
    EXPECT_NE(std::string::npos, out[3 + i].find("404")) << out[3 + i];
  }
  EXPECT_EQ("successfully removed cache volumes", out[8]);
}

TEST_F(Product, VersionChangeRecreatesWhatChangedAndKeepsTheData) {
  SandboxProduct sandbox;
  bool completed = false;
  printed_by([&] { completed = sandbox.product.install(); });
  ASSERT_TRUE(completed);
  printed_by([&] { sandbox.product.scale("worker", 2); });
  RunResult mark = run_program({"docker", "run", "--rm", "-v", "lumadex-es1-vol:/data", "kestro/probe",
                                "sh", "-c", "echo kept > /data/marker"});
  ASSERT_EQ(0, mark.status) << mark.err;
  const std::string es1_before = inspect_document("lumadex-es1")["Id"];

  std::vector<std::string> out = printed_by([&] { completed = sandbox.product.install(std::string("2.3")); });
  ASSERT_TRUE(completed) << ::testing::PrintToString(out);
  std::vector<std::string> expected;
  for (const char* name : {"beater", "worker-shortops", "worker-task", "worker-trigger", "worker",
                           "worker_1", "worker-ocr", "api"})
    expected.push_back("recreating container lumadex-" + std::string(name) +
                       ": its image changed from lmdx2/app to lmdx2/app:2.3");
  EXPECT_EQ(expected, with_prefix(out, "recreating ")) << ::testing::PrintToString(out);
  EXPECT_EQ("starting container lumadex-worker_1", out.at(out.size() - 2)) << "a worker that ran runs again";
  expect_outcome("lumadex is up: 14 of 14 running; 8 recreated, 6 unchanged", out.back());

  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services) {
    SCOPED_TRACE(s.name);
    json c = inspect_document("lumadex-" + s.name);
    EXPECT_EQ("running", c["State"]["Status"]);
    EXPECT_EQ(s.image == "lmdx2/app" ? "lmdx2/app:2.3" : s.image, c["Config"]["Image"]);
  }
  json worker = inspect_document("lumadex-worker_1");
  EXPECT_EQ("running", worker["State"]["Status"]);
  EXPECT_EQ("lmdx2/app:2.3", worker["Config"]["Image"]);
  EXPECT_EQ("no", worker["HostConfig"]["RestartPolicy"]["Name"]);
  EXPECT_EQ(es1_before, inspect_document("lumadex-es1")["Id"]) << "an unchanged container is left alone";
  RunResult kept = run_program({"docker", "run", "--rm", "-v", "lumadex-es1-vol:/data", "kestro/probe",
                                "cat", "/data/marker"});
  EXPECT_EQ("kept\n", kept.out) << kept.err;

  // The same version again: every definition matches, nothing is recreated.
  out = printed_by([&] { completed = sandbox.product.install(std::string("2.3")); });
  EXPECT_TRUE(completed);
  EXPECT_TRUE(with_prefix(out, "recreating ").empty()) << ::testing::PrintToString(out);
}

TEST_F(Product, UpdateThatCannotFetchLeavesTheProductRunning) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take the sandbox's registry down";
  SandboxProduct sandbox;
  bool completed = false;
  printed_by([&] { completed = sandbox.product.install(); });
  ASSERT_TRUE(completed);
  const std::string image_before = client_->get_image("lmdx2/app");

  const std::string sandbox_tool = KESTRO_SOURCE_DIR "/tools/sandbox";
  RunResult down = run_program({sandbox_tool, "registry", "down"});
  ASSERT_EQ(0, down.status) << down.err;
  // Brought back however the checks below end.
  struct RegistryBack {
    std::string tool;
    ~RegistryBack() { run_program({tool, "registry", "up"}); }
  } back{sandbox_tool};

  std::string error;
  ::testing::internal::CaptureStdout();
  try {
    sandbox.product.update();
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::vector<std::string> out = lines_of(::testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, error.find("nothing was changed: ")) << error;
  EXPECT_EQ((std::vector<std::string>{"updating lumadex", "lumadex runs lmdx2/app:latest; update fetches it anew",
                                      "pulling lmdx2/app latest, please wait..."}),
            out);
  for (const std::string& name : container_names("")) EXPECT_EQ("running", state(name)) << name;
  EXPECT_EQ(image_before, client_->get_image("lmdx2/app"));
}

// What the product has on the engine, ids left out: each container's name,
// state, image and the product's networks it joined (the engine's default
// network aside), then the networks, then the volumes.
std::vector<std::string> product_state(docker::Client& client) {
  std::vector<std::string> state;
  for (const docker::ContainerRef& c : client.list_containers(true)) {
    if (!starts_with(c.name, "lumadex-")) continue;
    docker::ContainerDetails details = client.inspect_container(c.id);
    std::sort(details.networks.begin(), details.networks.end());
    std::string line = "container " + c.name + " " + details.status + " " + details.image;
    for (const std::string& n : details.networks)
      if (starts_with(n, "lumadex-")) line += " " + n;
    state.push_back(line);
  }
  for (const docker::NetworkRef& n : client.list_networks())
    if (starts_with(n.name, "lumadex-")) state.push_back("network " + n.name);
  for (const docker::VolumeRef& v : client.list_volumes())
    if (starts_with(v.name, "lumadex-")) state.push_back("volume " + v.name);
  std::sort(state.begin(), state.end());
  return state;
}

// The state the catalogue describes: every service's container running its
// image on its networks (with `containers`), the networks, the volumes.
std::vector<std::string> catalogue_state(bool containers) {
  std::set<std::string> networks;
  std::set<std::string> volumes;
  std::vector<std::string> state;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services) {
    std::vector<std::string> joined;
    for (const std::string& n : s.networks.value_or(std::vector<std::string>{}))
      joined.push_back("lumadex-" + n);
    std::sort(joined.begin(), joined.end());
    std::string line = "container lumadex-" + s.name + " running " + s.image;
    for (const std::string& n : joined) line += " " + n;
    if (containers) state.push_back(line);
    if (containers) networks.insert(joined.begin(), joined.end());
    for (const std::string& v : s.volumes.value_or(std::vector<std::string>{})) {
      installer::VolumeEntry entry = installer::parse_volume_entry(v);
      if (!entry.is_host_path()) volumes.insert("lumadex-" + entry.source);
    }
  }
  if (!containers)
    for (const std::string& removed : LumadexInstaller::removed_volumes) volumes.erase(removed);
  for (const std::string& n : networks) state.push_back("network " + n);
  for (const std::string& v : volumes) state.push_back("volume " + v);
  std::sort(state.begin(), state.end());
  return state;
}

// Several requests in flight change nothing of the outcome: the catalogue's
// state after the install, and after the uninstall only the kept volumes.
TEST_F(Product, InstallAndUninstallWithFourJobs) {
  FakeHost fake_host;
  LumadexInstaller::Environment environment{fake_host.host, [] { return sandbox_client(); }, {}};
  environment.jobs = 4;
  LumadexInstaller product(environment);
  printed_by([&] { ASSERT_TRUE(product.install()); });
  EXPECT_EQ(catalogue_state(true), product_state(*client_));
  printed_by([&] { product.uninstall(); });
  EXPECT_EQ(catalogue_state(false), product_state(*client_));
}

}  // namespace
}  // namespace bootstrap::testing
