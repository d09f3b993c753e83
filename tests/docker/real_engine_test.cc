// Round trips against the sandbox engine (tools/sandbox): every request the
// client makes, the errors the engine really sends, and the engine probe.
// Each test names what it creates "kestro-test-<pid>-..." and removes it again,
// also when it fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "bootstrap/docker/curl_transport.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "tests/support/engine_document.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

namespace bootstrap::docker {
namespace {

using json = nlohmann::json;

constexpr const char* kProbeImage = "kestro/probe:latest";

std::string unique(const std::string& what) {
  return "kestro-test-" + std::to_string(::getpid()) + "-" + what;
}

// Runs its steps in reverse order on the way out, ignoring their failures, so
// a failed assertion still leaves the engine clean. Steps run after the test's
// later locals are gone: they capture what they need by value.
class Cleanup {
 public:
  ~Cleanup() {
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
      try {
        (*step)();
      } catch (const std::exception&) {
      }
    }
  }
  void add(std::function<void()> step) { steps_.push_back(std::move(step)); }

 private:
  std::vector<std::function<void()>> steps_;
};

std::unique_ptr<DockerClient> sandbox_client() { return DockerClient::from_environment(); }

bool has_image(Client& client, const std::string& reference) {
  try {
    client.get_image(reference);
    return true;
  } catch (const ImageNotFound&) {
    return false;
  }
}

// Pulls the probe image when the engine lacks it; removes it afterwards only
// in that case, so images other tests rely on stay.
void ensure_probe_image(Client& client, Cleanup& cleanup) {
  if (has_image(client, kProbeImage)) return;
  client.pull_image("kestro/probe", "latest", nullptr);
  cleanup.add([&client] { client.remove_image(kProbeImage, false); });
}

template <typename Ref>
bool listed(const std::vector<Ref>& refs, const std::string& name) {
  return std::any_of(refs.begin(), refs.end(), [&](const Ref& ref) { return ref.name == name; });
}

TEST(RealEngineTest, NetworksRoundTrip) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  Cleanup cleanup;
  const std::string name = unique("net");

  NetworkRef network = client->create_network(name);
  cleanup.add([&client, id = network.id] { client->remove_network(id); });
  EXPECT_EQ(network.name, name);
  EXPECT_FALSE(network.id.empty());
  std::vector<NetworkRef> networks = client->list_networks();
  auto found = std::find_if(networks.begin(), networks.end(),
                            [&](const NetworkRef& n) { return n.name == name; });
  ASSERT_NE(found, networks.end());
  EXPECT_EQ(found->id, network.id);

  // A second network of the same name is refused, on old engines too.
  try {
    NetworkRef twin = client->create_network(name);
    cleanup.add([&client, twin] { client->remove_network(twin.id); });
    ADD_FAILURE() << "a second network " << name << " was created";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status(), 409) << e.what();
    EXPECT_NE(e.message().find(name), std::string::npos) << e.what();
  }

  client->remove_network(network.id);
  EXPECT_FALSE(listed(client->list_networks(), name));
  EXPECT_THROW(client->remove_network(network.id), NotFound);
}

TEST(RealEngineTest, VolumesRoundTrip) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  Cleanup cleanup;
  const std::string name = unique("vol");

  VolumeRef created = client->create_volume(name, "local");
  cleanup.add([&client, name] { client->remove_volume(name); });
  EXPECT_EQ(created.name, name);
  EXPECT_EQ(created.driver, "local");
  EXPECT_EQ(client->get_volume(name).driver, "local");
  EXPECT_TRUE(listed(client->list_volumes(), name));

  client->remove_volume(name);
  EXPECT_FALSE(listed(client->list_volumes(), name));
  try {
    client->get_volume(name);
    ADD_FAILURE() << "volume " << name << " still there";
  } catch (const NotFound& e) {
    EXPECT_EQ(e.status(), 404);
    EXPECT_NE(e.message().find("no such volume"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("get volume " + name + ": 404: ", 0), 0u) << e.what();
  }
}

TEST(RealEngineTest, ContainersRoundTrip) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  Cleanup cleanup;
  ensure_probe_image(*client, cleanup);

  const std::string name = unique("box");
  const std::string volume = unique("data");
  std::filesystem::path host_dir = std::filesystem::temp_directory_path() / unique("bind");
  std::filesystem::create_directories(host_dir);
  cleanup.add([host_dir] { std::filesystem::remove_all(host_dir); });
  cleanup.add([&client, volume] { client->remove_volume(volume); });  // made by the bind

  ContainerSpec definition;
  definition.image = kProbeImage;
  definition.name = name;
  // A shell as PID 1 ignores SIGTERM unless it traps it; this one stops at once.
  definition.command = R"(/bin/sh -c "trap 'exit 0' TERM; while :; do sleep 1; done")";
  definition.environment = KeyValues{{"WNAME", "api"}, {"TZ", "Europe/Paris"}};
  definition.ulimits = std::vector<Ulimit>{{"nofile", 1024, 2048}};
  definition.ports = KeyValues{{"5000", "0"}};
  definition.binds = std::vector<Bind>{{volume, "/data", "rw"}, {host_dir.string(), "/conf", "ro"}};
  definition.restart_policy = "unless-stopped";
  definition.cpuset_cpus = "0";

  ContainerRef created = client->create_container(definition);
  cleanup.add([&client, id = created.id] {
    client->stop_container(id);
    client->remove_container(id);
  });
  EXPECT_EQ(created.name, name);

  json inspected = testing::inspect_document(name);
  EXPECT_EQ(inspected["Id"], created.id);
  EXPECT_EQ(inspected["Config"]["Cmd"],
            json::parse(R"(["/bin/sh","-c","trap 'exit 0' TERM; while :; do sleep 1; done"])"));
  const json& env = inspected["Config"]["Env"];
  for (const char* entry : {"WNAME=api", "TZ=Europe/Paris"})
    EXPECT_NE(std::find(env.begin(), env.end(), entry), env.end()) << entry << " in " << env;
  EXPECT_TRUE(inspected["Config"]["ExposedPorts"].contains("5000/tcp")) << inspected["Config"];
  const json& host = inspected["HostConfig"];
  EXPECT_EQ(host["Binds"], (json{volume + ":/data:rw", host_dir.string() + ":/conf:ro"}));
  EXPECT_EQ(host["Ulimits"], json::parse(R"([{"Name":"nofile","Soft":1024,"Hard":2048}])"));
  EXPECT_EQ(host["RestartPolicy"]["Name"], "unless-stopped");
  EXPECT_EQ(host["CpusetCpus"], "0");
  EXPECT_EQ(host["PortBindings"], json::parse(R"({"5000/tcp":[{"HostIp":"","HostPort":"0"}]})"));
  ContainerDetails details = client->inspect_container(name);
  EXPECT_EQ(details.status, "created");
  EXPECT_EQ(details.image, kProbeImage);
  EXPECT_EQ(details.cpuset_cpus, "0");

  std::vector<ContainerRef> containers = client->list_containers(true);
  auto listed_box = std::find_if(containers.begin(), containers.end(),
                                 [&](const ContainerRef& c) { return c.name == name; });
  ASSERT_NE(listed_box, containers.end());
  EXPECT_EQ(listed_box->id, created.id);
  EXPECT_EQ(listed_box->state, "created");
  EXPECT_FALSE(listed(client->list_containers(false), name)) << "not running yet";

  client->start_container(created.id);
  client->start_container(created.id);  // already running: 304, a success
  details = client->inspect_container(created.id);
  EXPECT_EQ(details.status, "running");
  EXPECT_EQ(details.networks.size(), 1u) << "the engine's default network";
  ASSERT_EQ(details.published_ports.count("5000/tcp"), 1u);
  const std::vector<std::string>& host_ports = details.published_ports["5000/tcp"];
  ASSERT_FALSE(host_ports.empty());
  EXPECT_NE(host_ports[0], "0") << "the engine picks a free port for 0";
  EXPECT_TRUE(listed(client->list_containers(false), name));

  client->stop_container(created.id);
  client->stop_container(created.id);  // already stopped: 304
  EXPECT_EQ(client->inspect_container(created.id).status, "exited");

  client->remove_container(created.id);
  EXPECT_FALSE(listed(client->list_containers(true), name));
  EXPECT_THROW(client->inspect_container(created.id), NotFound);
}

TEST(RealEngineTest, ErrorsCarryStatusAndMessage) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  Cleanup cleanup;
  ensure_probe_image(*client, cleanup);

  ContainerSpec definition;
  definition.image = kProbeImage;
  definition.name = unique("taken");
  ContainerRef first = client->create_container(definition);
  cleanup.add([&client, id = first.id] { client->remove_container(id); });
  {
    try {
      ContainerRef twin = client->create_container(definition);
      cleanup.add([&client, twin] { client->remove_container(twin.id); });
      ADD_FAILURE() << "a second container " << definition.name << " was created";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 409);
      EXPECT_NE(e.message().find("is already in use"), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("create container " + definition.name + ": 409: ", 0),
                0u)
          << e.what();
    }
  }
  {
    ContainerSpec bad = definition;
    bad.name = unique("badcpu");
    bad.cpuset_cpus = "0-9x";
    try {
      ContainerRef made = client->create_container(bad);
      cleanup.add([&client, made] { client->remove_container(made.id); });
      ADD_FAILURE() << "cpuset 0-9x accepted";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 400);
      EXPECT_NE(e.message().find("0-9x"), std::string::npos) << e.what();
    }
  }
  {
    ContainerSpec bad = definition;
    bad.name = unique("badrestart");
    bad.restart_policy = "sometimes";
    try {
      ContainerRef made = client->create_container(bad);
      cleanup.add([&client, made] { client->remove_container(made.id); });
      ADD_FAILURE() << "restart policy 'sometimes' accepted";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 400);
      EXPECT_NE(e.message().find("sometimes"), std::string::npos) << e.what();
    }
  }
  {
    ContainerSpec missing = definition;
    missing.name = unique("noimage");
    missing.image = "kestro/no-such-image:0";
    EXPECT_THROW(client->create_container(missing), ImageNotFound);
    EXPECT_THROW(client->get_image("kestro/no-such-image:0"), ImageNotFound);
    EXPECT_THROW(client->start_container(unique("ghost")), NotFound);
  }
}

TEST(RealEngineTest, PullThroughTheMirror) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  Cleanup cleanup;
  const bool had_image = has_image(*client, "redis:6.0.4");

  std::vector<PullEvent> events;
  client->pull_image("redis", "6.0.4", [&events](const PullEvent& e) { events.push_back(e); });
  if (!had_image) cleanup.add([&client] { client->remove_image("redis:6.0.4", false); });
  ASSERT_FALSE(events.empty());
  EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                          [](const PullEvent& e) {
                            return e.status.rfind("Status: ", 0) == 0 &&
                                   e.status.find("redis:6.0.4") != std::string::npos;
                          }))
      << "no closing status line among " << events.size() << " events";
  EXPECT_EQ(client->get_image("redis:6.0.4").rfind("sha256:", 0), 0u);

  try {
    client->pull_image("kestro/no-such-image", "0", nullptr);
    ADD_FAILURE() << "pulled an image that does not exist";
  } catch (const ApiError& e) {
    EXPECT_GE(e.status(), 400);
    EXPECT_FALSE(e.message().empty());
    EXPECT_EQ(std::string(e.what()).rfind("pull kestro/no-such-image:0: ", 0), 0u) << e.what();
  }
}

TEST(RealEngineTest, LoginLetsPullsThroughTheAuthRegistry) {
  REQUIRE_SANDBOX();
  const std::string registry = testing::sandbox_env("KESTRO_SANDBOX_AUTH_REGISTRY");
  const std::string image = testing::sandbox_env("KESTRO_SANDBOX_AUTH_IMAGE");
  if (registry.empty() || image.empty()) GTEST_SKIP() << "the sandbox has no auth registry";
  const std::size_t colon = image.rfind(':');
  const std::string repository = image.substr(0, colon);
  const std::string tag = image.substr(colon + 1);

  auto client = sandbox_client();
  Cleanup cleanup;
  const bool had_image = has_image(*client, image);
  if (!had_image) cleanup.add([&client, image] { client->remove_image(image, false); });

  {
    // Anonymous: refused.
    EXPECT_THROW(client->pull_image(repository, tag, nullptr), ApiError);
  }
  {
    try {
      client->login(testing::sandbox_env("KESTRO_SANDBOX_AUTH_USER"), "wrong-password", registry);
      ADD_FAILURE() << "a wrong password was accepted";
    } catch (const ApiError& e) {
      EXPECT_GE(e.status(), 400) << e.what();
    }
    // The refused credentials are not sent.
    EXPECT_THROW(client->pull_image(repository, tag, nullptr), ApiError);
  }
  {
    client->login(testing::sandbox_env("KESTRO_SANDBOX_AUTH_USER"),
                  testing::sandbox_env("KESTRO_SANDBOX_AUTH_PASSWORD"), registry);
    client->pull_image(repository, tag, nullptr);
    EXPECT_TRUE(has_image(*client, image));
  }
}

TEST(RealEngineTest, NegotiatesAndReportsTheEngine) {
  REQUIRE_SANDBOX();
  auto client = sandbox_client();
  EngineVersion version = client->version();
  ASSERT_FALSE(version.api_version.empty());
  // The lower of the engine's version and ours.
  const std::string engine_version = version.api_version;
  auto number = [](const std::string& v) {
    return std::make_pair(std::stoi(v.substr(0, v.find('.'))),
                          std::stoi(v.substr(v.find('.') + 1)));
  };
  EXPECT_EQ(client->api_version(),
            number(engine_version) < number(kMaxApiVersion) ? engine_version : kMaxApiVersion);

  EngineInfo info = client->info();
  EXPECT_GT(info.ncpu, 0);
  EXPECT_GT(info.mem_total, 0);
  EXPECT_EQ(info.server_version, version.version);
  EXPECT_FALSE(info.docker_root_dir.empty());
  EXPECT_GE(client->stats().requests, 3u);  // ping, version, info
}

TEST(RealEngineTest, UnreachableSocket) {
  REQUIRE_SANDBOX();
  ClientConfig config;
  config.host = "unix:///nonexistent";
  config.socket_path = "/nonexistent";
  config.base_url = "http://localhost";
  DockerClient client(std::make_unique<CurlTransport>(config));
  try {
    client.list_volumes();
    ADD_FAILURE() << "reached an engine at /nonexistent";
  } catch (const ConnectionError& e) {
    EXPECT_EQ(e.endpoint(), "unix:///nonexistent");
    EXPECT_NE(std::string(e.what()).find("cannot reach the Docker engine at unix:///nonexistent: "),
              std::string::npos)
        << e.what();
  }
}

TEST(RealEngineTest, EngineProbe) {
  REQUIRE_SANDBOX();
  const std::string probe = testing::program_dir() + "/engine_probe";
  {
    testing::RunResult run = testing::run_program({probe});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = testing::lines_of(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_TRUE(json::parse(lines[0]).contains("ApiVersion")) << lines[0];
  }
  {
    testing::RunResult run = testing::run_program({probe}, {"DOCKER_HOST=unix:///nonexistent"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("unix:///nonexistent"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace bootstrap::docker
