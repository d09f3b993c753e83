// The swarm requests DockerClient makes and how it reads the engine's swarm
// documents.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bootstrap/docker/swarm_codec.h"
#include "tests/docker/fake_transport.h"

namespace bootstrap::docker {
namespace {

using json = nlohmann::json;
using testing::fake_client;

TEST(SwarmRequestTest, NodesServicesAndNetworks) {
  auto [client, engine] = fake_client();
  engine->reply_json(200, R"({"NCPU":2,"Swarm":{"NodeID":"n1","LocalNodeState":"active",
                               "ControlAvailable":true,"Error":""}})");
  engine->reply_json(200, R"([{"ID":"n2","Version":{"Index":31},
      "Spec":{"Labels":{"a":"b"},"Role":"worker","Availability":"active"},
      "Description":{"Hostname":"host-b"},"Status":{"State":"ready","Addr":"10.0.0.2"}}])");
  engine->reply(200);
  engine->reply_json(201, R"({"Id":"net1","Warning":""})");
  engine->reply_json(200, "[]");

  SwarmState state = client->swarm_state();
  EXPECT_TRUE(state.manager);
  EXPECT_EQ("n1", state.node_id);
  EXPECT_EQ("active", state.local_state);
  std::vector<SwarmNode> nodes = client->list_nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_EQ(31u, nodes[0].version);
  EXPECT_EQ("host-b", nodes[0].hostname);
  EXPECT_EQ("ready", nodes[0].state);
  // The whole spec goes back with the version it was read at.
  nodes[0].labels["io.kestro.place.lumadex-es1"] = "true";
  client->update_node(nodes[0]);
  client->create_overlay_network("lumadex-es-net", {{"io.kestro.application", "lumadex"}});
  client->list_services("io.kestro.application");

  const std::vector<Request>& sent = engine->requests;
  ASSERT_EQ(5u, sent.size());
  EXPECT_EQ("/v1.41/info", sent[0].target);
  EXPECT_EQ("/v1.41/nodes", sent[1].target);
  EXPECT_EQ("POST", sent[2].method);
  EXPECT_EQ("/v1.41/nodes/n2/update?version=31", sent[2].target);
  EXPECT_EQ(json::parse(R"({"Labels":{"a":"b","io.kestro.place.lumadex-es1":"true"},
                           "Role":"worker","Availability":"active"})"),
            json::parse(*sent[2].body));
  EXPECT_EQ(json::parse(R"({"Name":"lumadex-es-net","Driver":"overlay","Attachable":true,
                           "CheckDuplicate":true,
                           "Labels":{"io.kestro.application":"lumadex"}})"),
            json::parse(*sent[3].body));
  EXPECT_EQ("/v1.41/services?filters=%7B%22label%22%3A%5B%22io.kestro.application%22%5D%7D",
            sent[4].target);
}

TEST(SwarmRequestTest, ServicesRoundTripAndTasksRead) {
  ServiceSpec spec;
  spec.name = "lumadex-es1";
  spec.labels = {{"io.kestro.application", "lumadex"}};
  spec.image = "elasticsearch:7.12.1@sha256:abc";
  spec.args = std::vector<std::string>{"run", "--fast"};
  spec.env = {"node.name=es1"};
  spec.mounts = {{"volume", "lumadex-es1-vol", "/data", false}, {"bind", "/run/x", "/x", true}};
  spec.ulimits = {{"memlock", -1, -1}};
  spec.networks = {{"lumadex-es-net", {"es1"}}};
  spec.nano_cpus = 2'000'000'000;
  spec.constraints = {"node.labels.io.kestro.place.lumadex-es1==true"};
  spec.replicas = 3;
  spec.endpoint_mode = "dnsrr";
  spec.ports = {{9200, 9200, "tcp", "host"}};
  spec.force_update = 2;

  auto [client, engine] = fake_client();
  engine->reply_json(201, R"({"ID":"s1"})");
  EXPECT_EQ("s1", client->create_service(spec));
  json inspected = {{"ID", "s1"}, {"Version", {{"Index", 12}}},
                    {"Spec", json::parse(*engine->requests[0].body)}};
  engine->reply_json(200, inspected.dump());
  ServiceRef read = client->inspect_service("lumadex-es1");
  // What scaling reads back is what was written, so it can be sent again.
  EXPECT_EQ(spec, read.spec);
  EXPECT_EQ(12u, read.version);
  engine->reply_json(200, R"({"Warnings":null})");
  client->update_service("s1", 12, read.spec);
  EXPECT_EQ("/v1.41/services/s1/update?version=12", engine->requests[2].target);

  engine->reply_json(200, R"js([{"ID":"t1","ServiceID":"s1","NodeID":"n2","Slot":2,
      "DesiredState":"running","Status":{"Timestamp":"2026-05-01T10:00:00.5Z","State":"failed",
      "Message":"started","Err":"task: non-zero exit (3)",
      "ContainerStatus":{"ContainerID":"c1","ExitCode":3}}},
      {"ID":"t2","Slot":1,"Status":{"State":"pending"}}])js");
  std::vector<TaskRef> tasks = client->list_tasks("lumadex-es1");
  EXPECT_EQ("/v1.41/tasks?filters=%7B%22service%22%3A%5B%22lumadex-es1%22%5D%7D",
            engine->requests[3].target);
  ASSERT_EQ(2u, tasks.size());
  EXPECT_EQ("n2", tasks[0].node_id);
  EXPECT_EQ(2, tasks[0].slot);
  EXPECT_EQ("failed", tasks[0].state);
  EXPECT_EQ("task: non-zero exit (3)", tasks[0].error);
  EXPECT_EQ(3, tasks[0].exit_code);
  EXPECT_EQ(1777629600, tasks[0].updated_at);
  EXPECT_EQ("", tasks[1].node_id);  // not scheduled yet

  engine->reply_json(200, R"({"Descriptor":{"digest":"sha256:abc","size":528}})");
  EXPECT_EQ("sha256:abc", client->image_digest("lmdx2/app:2.3"));
  EXPECT_EQ("/v1.41/distribution/lmdx2/app:2.3/json", engine->requests[4].target);
  engine->reply_json(404, R"({"message":"manifest unknown"})");
  EXPECT_THROW(client->image_digest("lmdx2/app:9"), ImageNotFound);
}

}  // namespace
}  // namespace bootstrap::docker
