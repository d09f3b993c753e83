// The exact requests DockerClient makes, how it negotiates the API version,
// and how it turns the engine's answers into results and typed errors.
#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "tests/docker/fake_transport.h"

namespace bootstrap::docker {
namespace {

using json = nlohmann::json;
using testing::fake_client;
using testing::FakeEngine;
using testing::FakeTransport;

json body_of(const Request& request) {
  EXPECT_TRUE(request.body.has_value()) << request.method << " " << request.target;
  return json::parse(request.body.value_or("null"));
}

std::string decode_base64url(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    buffer = buffer << 6 | static_cast<unsigned>(alphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(buffer >> bits & 0xFF);
    }
  }
  return out;
}

// ---------------------------------------------------------------- negotiation

std::unique_ptr<DockerClient> negotiating_client(const std::shared_ptr<FakeEngine>& engine) {
  return std::make_unique<DockerClient>(std::make_unique<FakeTransport>(engine));
}

TEST(NegotiationTest, PicksTheLowerOfOursAndTheEngines) {
  {
    // Engine 20.10 spells the header API-Version.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(200, "", {{"API-Version", "1.41"}});
    engine->reply_json(200, "[]");
    auto client = negotiating_client(engine);
    client->list_networks();
    EXPECT_EQ(client->api_version(), "1.41");
    ASSERT_EQ(engine->requests.size(), 2u);
    EXPECT_EQ(engine->requests[0], (Request{"HEAD", "/_ping", std::nullopt, {}}));
    EXPECT_EQ(engine->requests[1].target, "/v1.41/networks");
  }
  {
    // Newer than us: our maximum. Only one ping per client.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(200, "", {{"Api-Version", "1.52"}});
    engine->reply_json(200, "[]");
    engine->reply_json(200, "[]");
    auto client = negotiating_client(engine);
    client->list_networks();
    client->list_networks();
    EXPECT_EQ(client->api_version(), kMaxApiVersion);
    ASSERT_EQ(engine->requests.size(), 3u);
    EXPECT_EQ(engine->requests[2].target, std::string("/v") + kMaxApiVersion + "/networks");
  }
  {
    // Numeric comparison: 1.9 is older than 1.41.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(200, "", {{"api-version", "1.9"}});
    EXPECT_EQ(negotiating_client(engine)->api_version(), "1.9");
  }
  {
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(200, "", {{"Api-Version", "1.44"}});
    EXPECT_EQ(negotiating_client(engine)->api_version(), "1.44");
  }
  {
    // No header at all: the oldest engine we support.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(200, "", {{"Server", "Docker/20.10"}});
    EXPECT_EQ(negotiating_client(engine)->api_version(), kMinApiVersion);
  }
  {
    // HEAD not routed: fall back to GET.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(405);
    engine->reply(200, "OK", {{"Api-Version", "1.43"}});
    EXPECT_EQ(negotiating_client(engine)->api_version(), "1.43");
    ASSERT_EQ(engine->requests.size(), 2u);
    EXPECT_EQ(engine->requests[1].method, "GET");
    EXPECT_EQ(engine->requests[1].target, "/_ping");
  }
  {
    // A pinned version is used as it is, without a ping.
    auto [client, engine] = fake_client("v1.45");
    engine->reply_json(200, "[]");
    client->list_networks();
    ASSERT_EQ(engine->requests.size(), 1u);
    EXPECT_EQ(engine->requests[0].target, "/v1.45/networks");
  }
}

TEST(NegotiationTest, Failures) {
  {
    // Unreachable: the error names the endpoint, and the next call tries again.
    auto engine = std::make_shared<FakeEngine>();
    engine->unreachable();
    auto client = negotiating_client(engine);
    try {
      client->api_version();
      ADD_FAILURE() << "no error";
    } catch (const ConnectionError& e) {
      EXPECT_EQ(e.endpoint(), "unix:///fake/docker.sock");
      EXPECT_STREQ(e.what(),
                   "negotiate the API version: cannot reach the Docker engine at "
                   "unix:///fake/docker.sock: Could not connect to server");
    }
    engine->reply(200, "", {{"Api-Version", "1.42"}});
    EXPECT_EQ(client->api_version(), "1.42");
  }
  {
    // Neither ping answers sensibly and no version header: an API error.
    auto engine = std::make_shared<FakeEngine>();
    engine->reply(404);
    engine->reply(404, "404 page not found\n", {{"Content-Type", "text/plain"}});
    try {
      negotiating_client(engine)->api_version();
      ADD_FAILURE() << "no error";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 404);
      EXPECT_EQ(e.message(), "404 page not found");
    }
  }
  {
    EXPECT_THROW(
        DockerClient(std::make_unique<FakeTransport>(std::make_shared<FakeEngine>()), "one.two"),
        ConfigError);
  }
}

// ------------------------------------------------------------- request shapes

TEST(RequestShapeTest, CreateContainerWithEveryParameter) {
  auto [client, engine] = fake_client();
  engine->reply_json(201, R"({"Id":"c0ffee","Warnings":[]})");
  ContainerSpec definition;
  definition.image = "registry.example.com/lmdx2/app:1.2";
  definition.command = R"(/bin/sh -c "./start.sh api")";
  definition.name = "lumadex-api";
  definition.environment = KeyValues{{"WNAME", "api"}, {"TZ", "Europe/Paris"}, {"EMPTY", ""}};
  definition.ulimits = std::vector<Ulimit>{{"memlock", -1, -1}, {"nofile", 65536, 65536}};
  definition.ports = KeyValues{{"5000", "5000"}, {"9300/udp", "19300"}};
  definition.binds = std::vector<Bind>{{"lumadex-esdata", "/usr/share/elasticsearch/data", "rw"},
                                       {"/var/run/docker.sock", "/var/run/docker.sock", "ro"}};
  definition.restart_policy = "always";
  definition.cpuset_cpus = "0-3";
  definition.labels = {{"io.kestro.definition", "d1"}};

  ContainerRef created = client->create_container(definition);
  EXPECT_EQ(created.id, "c0ffee");
  EXPECT_EQ(created.name, "lumadex-api");

  ASSERT_EQ(engine->requests.size(), 1u);
  const Request& request = engine->requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1.41/containers/create?name=lumadex-api");
  EXPECT_EQ(body_of(request), json::parse(R"({
    "Image": "registry.example.com/lmdx2/app:1.2",
    "Cmd": ["/bin/sh", "-c", "./start.sh api"],
    "Env": ["WNAME=api", "TZ=Europe/Paris", "EMPTY="],
    "ExposedPorts": {"5000/tcp": {}, "9300/udp": {}},
    "HostConfig": {
      "PortBindings": {"5000/tcp": [{"HostIp": "", "HostPort": "5000"}],
                       "9300/udp": [{"HostIp": "", "HostPort": "19300"}]},
      "Binds": ["lumadex-esdata:/usr/share/elasticsearch/data:rw",
                "/var/run/docker.sock:/var/run/docker.sock:ro"],
      "Ulimits": [{"Name": "memlock", "Soft": -1, "Hard": -1},
                  {"Name": "nofile", "Soft": 65536, "Hard": 65536}],
      "RestartPolicy": {"Name": "always"},
      "CpusetCpus": "0-3"},
    "Labels": {"io.kestro.definition": "d1"}})"));
}

TEST(RequestShapeTest, CreateContainerWithOnlyImageAndName) {
  {
    auto [client, engine] = fake_client();
    engine->reply_json(201, R"({"Id":"abc"})");
    ContainerSpec definition;
    definition.image = "redis:6.0.4";
    definition.name = "lumadex-redis";
    client->create_container(definition);
    ASSERT_EQ(engine->requests.size(), 1u);
    EXPECT_EQ(body_of(engine->requests[0]), json::parse(R"({"Image":"redis:6.0.4"})"));
  }
  {
    // Present but empty lists are sent as empty, not left out.
    auto [client, engine] = fake_client();
    engine->reply_json(201, R"({"Id":"abc"})");
    ContainerSpec definition;
    definition.image = "redis:6.0.4";
    definition.name = "odd name?";
    definition.binds = std::vector<Bind>{};
    definition.environment = KeyValues{};
    client->create_container(definition);
    ASSERT_EQ(engine->requests.size(), 1u);
    EXPECT_EQ(engine->requests[0].target, "/v1.41/containers/create?name=odd%20name%3F");
    EXPECT_EQ(body_of(engine->requests[0]),
              json::parse(R"({"Image":"redis:6.0.4","Env":[],"HostConfig":{"Binds":[]}})"));
  }
  {
    // A command that cannot be split fails before anything is sent.
    auto [client, engine] = fake_client();
    ContainerSpec definition;
    definition.image = "redis:6.0.4";
    definition.name = "lumadex-redis";
    definition.command = "redis-server 'unterminated";
    EXPECT_THROW(client->create_container(definition), std::invalid_argument);
    EXPECT_TRUE(engine->requests.empty());
  }
}

TEST(RequestShapeTest, Networks) {
  {
    auto [client, engine] = fake_client("1.41");
    engine->reply_json(201, R"({"Id":"net1","Warning":""})");
    NetworkRef network = client->create_network("lumadex-es-net");
    EXPECT_EQ(network.id, "net1");
    EXPECT_EQ(network.name, "lumadex-es-net");
    EXPECT_EQ(engine->requests[0].target, "/v1.41/networks/create");
    EXPECT_EQ(body_of(engine->requests[0]),
              json::parse(R"({"Name":"lumadex-es-net","CheckDuplicate":true})"));
  }
  {
    auto [client, engine] = fake_client("1.43");
    engine->reply_json(201, R"({"Id":"net1"})");
    client->create_network("n");
    EXPECT_EQ(body_of(engine->requests[0]), json::parse(R"({"Name":"n","CheckDuplicate":true})"));
  }
  for (const char* version : {"1.44", "1.47"}) {
    auto [client, engine] = fake_client(version);
    engine->reply_json(201, R"({"Id":"net1"})");
    client->create_network("n");
    EXPECT_EQ(body_of(engine->requests[0]), json::parse(R"({"Name":"n"})")) << version;
  }
  {
    auto [client, engine] = fake_client();
    engine->reply(200);
    engine->reply(204);
    client->connect_network("net1", "c0ffee", {"api"});
    client->remove_network("lumadex-es-net");
    ASSERT_EQ(engine->requests.size(), 2u);
    EXPECT_EQ(engine->requests[0].method, "POST");
    EXPECT_EQ(engine->requests[0].target, "/v1.41/networks/net1/connect");
    EXPECT_EQ(body_of(engine->requests[0]),
              json::parse(R"({"Container":"c0ffee","EndpointConfig":{"Aliases":["api"]}})"));
    EXPECT_EQ(engine->requests[1],
              (Request{"DELETE", "/v1.41/networks/lumadex-es-net", std::nullopt, {}}));
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"([{"Name":"bridge","Id":"b1","Driver":"bridge"},
                                {"Name":"lumadex-es-net","Id":"n2"}])");
    std::vector<NetworkRef> networks = client->list_networks();
    ASSERT_EQ(networks.size(), 2u);
    EXPECT_EQ(networks[1].id, "n2");
    EXPECT_EQ(networks[1].name, "lumadex-es-net");
    EXPECT_EQ(engine->requests[0], (Request{"GET", "/v1.41/networks", std::nullopt, {}}));
  }
}

// The engine sometimes keeps the endpoint of a container it has removed; the
// network's removal then drops it, but never cuts off a container that exists.
TEST(RequestShapeTest, RemovingANetworkDropsOnlyStaleEndpoints) {
  const char* refused = R"({"message":"error while removing network: network n id n1 has active endpoints"})";
  {
    auto [client, engine] = fake_client();
    engine->reply_json(403, refused);
    engine->reply_json(200, R"({"Id":"n1","Containers":{"c9":{"Name":"lumadex-streaming"}}})");
    engine->reply_json(404, R"({"message":"No such container: c9"})");
    engine->reply(200);
    engine->reply(204);
    client->remove_network("n1");
    ASSERT_EQ(engine->requests.size(), 5u);
    EXPECT_EQ(engine->requests[3].target, "/v1.41/networks/n1/disconnect");
    EXPECT_EQ(body_of(engine->requests[3]), json::parse(R"({"Container":"lumadex-streaming","Force":true})"));
    EXPECT_EQ(engine->requests[4], (Request{"DELETE", "/v1.41/networks/n1", std::nullopt, {}}));
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(403, refused);
    engine->reply_json(200, R"({"Id":"n1","Containers":{"c1":{"Name":"someones-app"}}})");
    engine->reply_json(200, R"({"Id":"c1"})");
    try {
      client->remove_network("n1");
      ADD_FAILURE() << "removed a network a live container uses";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 403);
      EXPECT_NE(std::string(e.what()).find("(still attached: someones-app)"), std::string::npos) << e.what();
    }
    EXPECT_EQ(engine->requests.size(), 3u);
  }
}

TEST(RequestShapeTest, VolumesAndContainers) {
  {
    auto [client, engine] = fake_client();
    engine->reply_json(201, R"({"Name":"lumadex-esdata","Driver":"local","Mountpoint":"/x"})");
    engine->reply_json(200, R"({"Name":"lumadex-esdata","Driver":"local"})");
    engine->reply(204);
    VolumeRef created = client->create_volume("lumadex-esdata", "local");
    VolumeRef found = client->get_volume("lumadex-esdata");
    client->remove_volume("lumadex-esdata");
    EXPECT_EQ(created.name, "lumadex-esdata");
    EXPECT_EQ(found.driver, "local");
    ASSERT_EQ(engine->requests.size(), 3u);
    EXPECT_EQ(engine->requests[0].target, "/v1.41/volumes/create");
    EXPECT_EQ(body_of(engine->requests[0]),
              json::parse(R"({"Name":"lumadex-esdata","Driver":"local"})"));
    EXPECT_EQ(engine->requests[1],
              (Request{"GET", "/v1.41/volumes/lumadex-esdata", std::nullopt, {}}));
    EXPECT_EQ(engine->requests[2],
              (Request{"DELETE", "/v1.41/volumes/lumadex-esdata", std::nullopt, {}}));
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"Volumes":null,"Warnings":null})");
    engine->reply_json(200, R"({"Volumes":[{"Name":"a","Driver":"local"}]})");
    EXPECT_TRUE(client->list_volumes().empty());
    std::vector<VolumeRef> volumes = client->list_volumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].name, "a");
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"([
      {"Id":"1","Names":["/lumadex-api"],"Image":"lmdx2/app","State":"running",
       "Labels":{"io.kestro.definition":"d1","other":"x","odd":7}},
      {"Id":"2","Names":["/web/db","/db"],"Image":"redis","State":"exited","Labels":null},
      {"Id":"3","Names":["/a/b"],"State":"created"},
      {"Id":"4"}])");
    engine->reply_json(200, "[]");
    std::vector<ContainerRef> containers = client->list_containers(true);
    client->list_containers(false);
    ASSERT_EQ(containers.size(), 4u);
    EXPECT_EQ(containers[0].name, "lumadex-api");
    EXPECT_EQ(containers[0].image, "lmdx2/app");
    EXPECT_EQ(containers[0].state, "running");
    EXPECT_EQ(containers[0].labels,
              (std::map<std::string, std::string>{{"io.kestro.definition", "d1"}, {"other", "x"}}));
    EXPECT_TRUE(containers[1].labels.empty());
    EXPECT_EQ(containers[1].name, "db");
    EXPECT_EQ(containers[2].name, "a/b");
    EXPECT_EQ(containers[3].name, "");
    EXPECT_EQ(engine->requests[0].target, "/v1.41/containers/json?all=1");
    EXPECT_EQ(engine->requests[1].target, "/v1.41/containers/json");
  }
  {
    auto [client, engine] = fake_client();
    engine->reply(204);
    engine->reply(204);
    engine->reply(204);
    engine->reply_json(200, R"({"Id":"c1","HostConfig":{"CpusetCpus":"0"}})");
    client->start_container("lumadex-api");
    client->stop_container("lumadex-api");
    client->remove_container("lumadex-api");
    EXPECT_EQ(client->inspect_container("lumadex-api").cpuset_cpus, "0");
    std::vector<Request> expected = {
        {"POST", "/v1.41/containers/lumadex-api/start", std::nullopt, {}},
        {"POST", "/v1.41/containers/lumadex-api/stop", std::nullopt, {}},
        {"DELETE", "/v1.41/containers/lumadex-api", std::nullopt, {}},
        {"GET", "/v1.41/containers/lumadex-api/json", std::nullopt, {}}};
    EXPECT_EQ(engine->requests, expected);
  }
}

TEST(RequestShapeTest, ImagesAndSystem) {
  {
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"Id":"sha256:abc","RepoTags":["redis:6.0.4"]})");
    engine->reply_json(200, R"([{"Untagged":"redis:6.0.4"}])");
    engine->reply_json(200, "[]");
    EXPECT_EQ(client->get_image("docker.io/library/redis:6.0.4"), "sha256:abc");
    client->remove_image("lmdx2/app:1.0", true);
    client->remove_image("my image#1", false);
    EXPECT_EQ(engine->requests[0].target, "/v1.41/images/docker.io/library/redis:6.0.4/json");
    EXPECT_EQ(engine->requests[1],
              (Request{"DELETE", "/v1.41/images/lmdx2/app:1.0?force=1", std::nullopt, {}}));
    EXPECT_EQ(engine->requests[2].target, "/v1.41/images/my%20image%231?force=0");
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(200, "{\"Version\":\"20.10.24\",\"ApiVersion\":\"1.41\"}\n");
    engine->reply_json(200, R"({"NCPU":2,"MemTotal":8254263296,"ServerVersion":"20.10.24",
                                "OperatingSystem":"Debian GNU/Linux 12","DockerRootDir":"/var/lib/docker"})");
    EngineVersion version = client->version();
    EXPECT_EQ(version.version, "20.10.24");
    EXPECT_EQ(version.api_version, "1.41");
    EngineInfo info = client->info();
    EXPECT_EQ(info.ncpu, 2);
    EXPECT_EQ(info.mem_total, 8254263296);
    EXPECT_EQ(info.server_version, "20.10.24");
    EXPECT_EQ(info.operating_system, "Debian GNU/Linux 12");
    EXPECT_EQ(info.docker_root_dir, "/var/lib/docker");
    EXPECT_EQ(engine->requests[0].target, "/v1.41/version");
    EXPECT_EQ(engine->requests[1].target, "/v1.41/info");
  }
  {
    // Answers we cannot read are errors, not empty results.
    auto [client, engine] = fake_client();
    engine->reply_json(200, "<html>");
    engine->reply_json(200, R"({"networks":[]})");
    engine->reply_json(201, R"({"Warnings":[]})");
    EXPECT_THROW(client->list_networks(), EngineError);
    EXPECT_THROW(client->list_networks(), EngineError);
    ContainerSpec definition;
    definition.image = "redis";
    definition.name = "r";
    try {
      client->create_container(definition);
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_STREQ(e.what(), "create container r: the engine's answer has no \"Id\"");
    }
  }
}

TEST(AnswerReadingTest, InspectionAndVersion) {
  {
    // Members of another type read as absent; an exposed port that is not
    // published maps to null and publishes nothing.
    auto [client, engine] = fake_client();
    engine->reply_json(200, R"({"State":{"Status":7},"Config":"x","HostConfig":{"CpusetCpus":"0-1"},
        "NetworkSettings":{"Networks":{"lumadex-es-net":{},"lumadex-app-net":{}},
          "Ports":{"9300/tcp":null,"5000/tcp":[{"HostIp":"0.0.0.0","HostPort":"5000"},
                                              {"HostIp":"::","HostPort":"5000"}]}}})");
    ContainerDetails details = client->inspect_container("lumadex-es1");
    EXPECT_EQ(details.status, "");
    EXPECT_EQ(details.image, "");
    EXPECT_EQ(details.cpuset_cpus, "0-1");
    EXPECT_EQ(details.networks, (std::vector<std::string>{"lumadex-app-net", "lumadex-es-net"}));
    EXPECT_EQ(details.published_ports,
              (std::map<std::string, std::vector<std::string>>{{"5000/tcp", {"5000", "5000"}}}));
  }
  {
    // Answers that are not a JSON object are errors naming what was asked.
    auto [client, engine] = fake_client();
    engine->reply_json(200, "<html>");
    engine->reply_json(200, "[]");
    engine->reply_json(200, "null");
    try {
      client->inspect_container("lumadex-api");
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_STREQ(e.what(), "inspect container lumadex-api: the engine's answer is not JSON: <html>");
    }
    try {
      client->inspect_container("lumadex-api");
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_STREQ(e.what(), "inspect container lumadex-api: the engine's answer is not an object");
    }
    EXPECT_THROW(client->version(), EngineError);
  }
  {
    // The whole document, as sent less the surrounding blanks, for printing.
    auto [client, engine] = fake_client();
    engine->reply_json(200, "{\"Version\":\"24.0.7\", \"Os\":\"linux\"}\n");
    EXPECT_EQ(client->version_document(), R"({"Version":"24.0.7", "Os":"linux"})");
  }
}

TEST(RequestShapeTest, PullAlwaysNamesATag) {
  struct Case {
    std::string repository, tag, target;
  };
  std::vector<Case> cases = {
      {"redis", "6.0.4", "fromImage=redis&tag=6.0.4"},
      {"lmdx2/app", "", "fromImage=lmdx2%2Fapp&tag=latest"},
      {"redis:6.0.4", "", "fromImage=redis&tag=6.0.4"},
      {"localhost:5000/app", "", "fromImage=localhost%3A5000%2Fapp&tag=latest"},
      {"localhost:5000/app:2", "", "fromImage=localhost%3A5000%2Fapp&tag=2"},
      {"app", "sha256:0123abcd", "fromImage=app&tag=sha256%3A0123abcd"},
      {"app@sha256:0123abcd", "", "fromImage=app&tag=sha256%3A0123abcd"},
  };
  for (const Case& c : cases) {
    auto [client, engine] = fake_client();
    engine->reply_stream("{\"status\":\"Status: Image is up to date\"}\r\n", {});
    client->pull_image(c.repository, c.tag, nullptr);
    ASSERT_EQ(engine->requests.size(), 1u);
    EXPECT_EQ(engine->requests[0],
              (Request{"POST", "/v1.41/images/create?" + c.target, std::nullopt, {}}))
        << c.repository << " " << c.tag;
  }
}

TEST(RequestShapeTest, RegistryAuthOnlyAfterALogin) {
  auto [client, engine] = fake_client();
  // Standard base64 of this document has both "+" and "/"; padding "=" too.
  const std::string password = "s3cr?t>>~";
  engine->reply_stream("", {});
  engine->reply_json(401, R"({"message":"unauthorized: incorrect username or password"})");
  engine->reply_stream("", {});
  engine->reply_json(200, R"({"Status":"Login Succeeded","IdentityToken":""})");
  engine->reply_stream("", {});
  engine->reply_stream("", {});

  client->pull_image("lmdx2/app", "", nullptr);
  EXPECT_THROW(client->login("bad", "wrong", ""), ApiError);
  client->pull_image("lmdx2/app", "", nullptr);
  client->login("robot", password, "registry.example.com");
  client->pull_image("registry.example.com/lmdx2/app", "", nullptr);
  client->pull_image("registry.example.com/redis", "6.0.4", nullptr);
  // Another registry never sees them.
  engine->reply_stream("", {});
  client->pull_image("redis", "6.0.4", nullptr);

  ASSERT_EQ(engine->requests.size(), 7u);
  EXPECT_TRUE(engine->requests[6].headers.empty());
  EXPECT_TRUE(engine->requests[0].headers.empty());
  EXPECT_EQ(engine->requests[1].target, "/v1.41/auth");
  EXPECT_EQ(body_of(engine->requests[1]),
            json::parse(R"({"username":"bad","password":"wrong","serveraddress":""})"));
  EXPECT_TRUE(engine->requests[2].headers.empty()) << "a refused login is not kept";

  json credentials = {
      {"username", "robot"}, {"password", password}, {"serveraddress", "registry.example.com"}};
  EXPECT_EQ(body_of(engine->requests[3]), credentials);
  for (std::size_t i : {4u, 5u}) {
    const Headers& headers = engine->requests[i].headers;
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].first, "X-Registry-Auth");
    const std::string& value = headers[0].second;
    EXPECT_EQ(value.find_first_of("+/"), std::string::npos) << value;
    EXPECT_EQ(value.size() % 4, 0u) << "padded: " << value;
    EXPECT_EQ(json::parse(decode_base64url(value)), credentials);
  }
  // Its standard base64 is "eyJwYXNzd29yZCI6InMzY3I/dD4+fiIs...fQ==".
  EXPECT_EQ(engine->requests[4].headers[0].second,
            "eyJwYXNzd29yZCI6InMzY3I_dD4-fiIsInNlcnZlcmFkZHJlc3MiOiJyZWdpc3RyeS5leGFtcGxlLmNvbSIs"
            "InVzZXJuYW1lIjoicm9ib3QifQ==");
}

// ------------------------------------------------------------- status mapping

TEST(StatusMappingTest, NotModifiedIsSuccess) {
  auto [client, engine] = fake_client();
  engine->reply(304);
  engine->reply(304);
  client->start_container("running-one");
  client->stop_container("stopped-one");
  EXPECT_EQ(engine->requests.size(), 2u);
}

TEST(StatusMappingTest, TypedErrorsCarryTheEnginesMessage) {
  const ContainerSpec definition{"app:1.2",    std::nullopt, "lumadex-api",
                                 std::nullopt, std::nullopt, std::nullopt,
                                 std::nullopt, std::nullopt, "0-9x",
                                 {}};
  {
    auto [client, engine] = fake_client();
    engine->reply_json(404, R"({"message":"get lumadex-esdata: no such volume"})");
    try {
      client->get_volume("lumadex-esdata");
      ADD_FAILURE() << "no error";
    } catch (const ImageNotFound&) {
      ADD_FAILURE() << "a volume is not an image";
    } catch (const NotFound& e) {
      EXPECT_EQ(e.status(), 404);
      EXPECT_EQ(e.message(), "get lumadex-esdata: no such volume");
      EXPECT_STREQ(e.what(), "get volume lumadex-esdata: 404: get lumadex-esdata: no such volume");
    }
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(404, R"({"message":"No such image: app:1.2"})");
    engine->reply_json(404, R"({"message":"No such image: app:1.2"})");
    engine->reply_json(404, R"({"message":"pull access denied for app"})");
    EXPECT_THROW(client->get_image("app:1.2"), ImageNotFound);
    EXPECT_THROW(client->create_container(definition), ImageNotFound);
    EXPECT_THROW(client->pull_image("app", "1.2", nullptr), ImageNotFound);
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(
        409, R"({"message":"Conflict. The container name \"/lumadex-api\" is already in use"})");
    try {
      client->create_container(definition);
      ADD_FAILURE() << "no error";
    } catch (const NotFound&) {
      ADD_FAILURE() << "409 is not 404";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 409);
      EXPECT_STREQ(e.what(),
                   "create container lumadex-api: 409: Conflict. The container name "
                   "\"/lumadex-api\" is already in use");
    }
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(400, R"({"message":"Invalid value 0-9x for cpuset cpus"})");
    try {
      client->create_container(definition);
      ADD_FAILURE() << "no error";
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), 400);
      EXPECT_EQ(e.message(), "Invalid value 0-9x for cpuset cpus");
    }
  }
  {
    auto [client, engine] = fake_client();
    engine->reply_json(403, R"({"message":"bridge is a pre-defined network and cannot be removed"})");
    try {
      client->remove_network("bridge");
      ADD_FAILURE() << "no error";
    } catch (const ApiError& e) {
      EXPECT_STREQ(e.what(),
                   "remove network bridge: 403: bridge is a pre-defined network and cannot be removed");
    }
  }
}

TEST(StatusMappingTest, UnusualErrorBodies) {
  struct Case {
    long status;
    Headers headers;
    std::string body;
    std::string message;
  };
  std::vector<Case> cases = {
      {500, {}, "", "request returned 500 Internal Server Error"},
      {503, {{"Content-Type", "application/json"}}, "", "request returned 503 Service Unavailable"},
      {502,
       {{"Content-Type", "text/html"}},
       "  <html>bad gateway</html>\n",
       "<html>bad gateway</html>"},
      {500,
       {{"content-type", "application/json; charset=utf-8"}},
       "{\"message\":\" oops \"}",
       "oops"},
      {500, {{"Content-Type", "application/json"}}, "{\"msg\":\"x\"}", "{\"msg\":\"x\"}"},
      {500, {{"Content-Type", "application/json"}}, "not json", "not json"},
      // Only a JSON body is read as JSON.
      {500, {{"Content-Type", "text/plain"}}, "{\"message\":\"x\"}", "{\"message\":\"x\"}"},
      {599, {}, "", "request returned 599"},
  };
  for (const Case& c : cases) {
    auto [client, engine] = fake_client();
    engine->reply(c.status, c.body, c.headers);
    try {
      client->version();
      ADD_FAILURE() << "no error for " << c.status;
    } catch (const ApiError& e) {
      EXPECT_EQ(e.status(), c.status);
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(std::string(e.what()),
                "engine version: " + std::to_string(c.status) + ": " + c.message);
    }
  }
}

TEST(StatusMappingTest, ConnectionFailuresNameTheOperationAndEndpoint) {
  auto [client, engine] = fake_client();
  engine->unreachable();
  try {
    client->remove_volume("lumadex-esdata");
    ADD_FAILURE() << "no error";
  } catch (const ConnectionError& e) {
    EXPECT_STREQ(e.what(),
                 "remove volume lumadex-esdata: cannot reach the Docker engine at "
                 "unix:///fake/docker.sock: Could not connect to server");
    EXPECT_EQ(e.detail(), "Could not connect to server");
  }
}

TEST(StatsTest, CountsEveryRequestIncludingFailures) {
  auto engine = std::make_shared<FakeEngine>();
  DockerClient client(std::make_unique<FakeTransport>(engine));
  engine->reply(200, "", {{"Api-Version", "1.41"}});
  engine->reply_json(200, "[]");
  engine->reply_json(404, R"({"message":"no such volume"})");
  engine->unreachable();
  client.list_networks();
  EXPECT_THROW(client.get_volume("x"), NotFound);
  EXPECT_THROW(client.remove_volume("x"), ConnectionError);
  EXPECT_EQ(client.stats().requests, 4u);
  EXPECT_GT(client.stats().engine_wait.count(), 0);
}

}  // namespace
}  // namespace bootstrap::docker
