// Service descriptions: names, volume entries, image references and the JSON
// form of a service list.
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bootstrap/installer/service.h"

namespace bootstrap::installer {
namespace {

using ::testing::HasSubstr;

ServiceDescription minimal(const std::string& name, const std::string& image) {
  ServiceDescription s;
  s.name = name;
  s.image = image;
  return s;
}

TEST(Service, QualifiedNameJoinsApplicationAndShortName) {
  EXPECT_EQ("lumadex-es1", qualified_name("lumadex", "es1"));
  EXPECT_EQ("lumadex-temp-vol", qualified_name("lumadex", "temp-vol"));
  EXPECT_EQ("lumadex-", qualified_name("lumadex", ""));
}

TEST(Service, VolumeEntries) {
  {
    VolumeEntry e = parse_volume_entry("temp-vol:/temp-vol");
    EXPECT_EQ("temp-vol", e.source);
    EXPECT_EQ("/temp-vol", e.target);
    EXPECT_FALSE(e.is_host_path());
  }
  {
    VolumeEntry e = parse_volume_entry("/var/run/docker.sock:/var/run/docker.sock");
    EXPECT_EQ("/var/run/docker.sock", e.source);
    EXPECT_EQ("/var/run/docker.sock", e.target);
    EXPECT_TRUE(e.is_host_path());
  }
  {  // a third part (a mode word) is ignored
    VolumeEntry e = parse_volume_entry("es-data:/usr/share/elasticsearch/data:ro");
    EXPECT_EQ("es-data", e.source);
    EXPECT_EQ("/usr/share/elasticsearch/data", e.target);
  }
  {  // an empty source is not a host path
    VolumeEntry e = parse_volume_entry(":/data");
    EXPECT_EQ("", e.source);
    EXPECT_EQ("/data", e.target);
    EXPECT_FALSE(e.is_host_path());
  }
  {
    VolumeEntry e = parse_volume_entry("data:");
    EXPECT_EQ("data", e.source);
    EXPECT_EQ("", e.target);
  }
  {  // no ":" at all is refused, naming the entry
    try {
      parse_volume_entry("temp-vol");
      ADD_FAILURE() << "an entry without \":\" was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr("temp-vol"));
    }
  }
  // The source alone, as the volume step of a bring-up reads it.
  EXPECT_EQ("temp-vol", volume_source("temp-vol:/temp-vol"));
  EXPECT_EQ("/var/run/docker.sock", volume_source("/var/run/docker.sock:/x"));
  EXPECT_EQ("no-colon", volume_source("no-colon"));
  EXPECT_EQ("", volume_source(":/x"));
}

ServiceDescription full_description() {
  ServiceDescription s;
  s.name = "es1";
  s.image = "elasticsearch:7.12.1";
  s.command = "/bin/sh -c \"./start.sh api\"";
  s.environment = KeyValues{{"node.name", "es1"}, {"cluster.name", "es-docker"}, {"A", ""}};
  s.ulimits = std::vector<UlimitEntry>{{"memlock", -1, -1}, {"nofile", 65536, 65536}};
  s.ports = KeyValues{{"9200", "9200"}};
  s.volumes = std::vector<std::string>{"es-data1:/usr/share/elasticsearch/data"};
  s.networks = std::vector<std::string>{"es-net", "cache-net"};
  s.restart = "always";
  s.cpuset = "4-x";
  return s;
}

TEST(ServiceJson, RoundTrip) {
  {  // every key, and a minimal description next to it
    ServiceList list{full_description(), minimal("cache", "redis:6.0.4")};
    EXPECT_EQ(list, services_from_json(services_to_json(list)));
  }
  {  // present but empty values stay present; absent ones stay absent
    ServiceDescription s = minimal("api", "lmdx2/app");
    s.command = "";
    s.environment = KeyValues{};
    s.ulimits = std::vector<UlimitEntry>{};
    s.ports = KeyValues{};
    s.volumes = std::vector<std::string>{};
    s.networks = std::vector<std::string>{};
    s.restart = "";
    s.cpuset = "";
    ServiceList list{s, minimal("api2", "lmdx2/app")};
    ServiceList back = services_from_json(services_to_json(list));
    EXPECT_EQ(list, back);
    ASSERT_EQ(2u, back.size());
    EXPECT_TRUE(back[0].volumes.has_value());
    EXPECT_FALSE(back[1].volumes.has_value());
    EXPECT_FALSE(back[1].networks.has_value());
    EXPECT_FALSE(back[1].command.has_value());
  }
  {  // the written form leaves absent keys out
    std::string text = services_to_json({minimal("cache", "redis:6.0.4")});
    EXPECT_THAT(text, HasSubstr("\"name\""));
    EXPECT_THAT(text, ::testing::Not(HasSubstr("\"volumes\"")));
    EXPECT_THAT(text, ::testing::Not(HasSubstr("\"cpuset\"")));
  }
}

TEST(ServiceJson, ReadsValuesAsWritten) {
  {  // environment and ports keep document order, not alphabetical order
    ServiceList list = services_from_json(R"([{
        "name": "api", "image": "lmdx2/app",
        "environment": {"WNAME": "api", "TZ": "Asia/Tehran", "HEALTHCHECK": "1", "cluster.name": "x"},
        "ports": {"5000": "5000", "22": "2222"}}])");
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ((KeyValues{{"WNAME", "api"}, {"TZ", "Asia/Tehran"}, {"HEALTHCHECK", "1"},
                         {"cluster.name", "x"}}),
              list[0].environment);
    EXPECT_EQ((KeyValues{{"5000", "5000"}, {"22", "2222"}}), list[0].ports);
  }
  {  // a cpuset given as a number is its decimal text
    ServiceList list = services_from_json(R"([{"name": "a", "image": "i", "cpuset": 3},
                                              {"name": "b", "image": "i", "cpuset": "0-3"}])");
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ("3", list[0].cpuset);
    EXPECT_EQ("0-3", list[1].cpuset);
  }
  {  // unknown keys are carried without effect; list order is kept
    ServiceList list = services_from_json(R"([{"name": "b", "image": "i", "labels": {"x": 1}},
                                              {"name": "a", "image": "j"}])");
    EXPECT_EQ((ServiceList{minimal("b", "i"), minimal("a", "j")}), list);
  }
  {
    ServiceList list = services_from_json(
        R"([{"name": "es", "image": "e", "ulimits": [{"name": "memlock", "soft": -1, "hard": -1}]}])");
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ((std::vector<UlimitEntry>{{"memlock", -1, -1}}), list[0].ulimits);
  }
  EXPECT_EQ(ServiceList{}, services_from_json("[]"));
}

// The message of the error that reading `json` raises, or a note that it
// was accepted.
std::string refusal(const std::string& json) {
  try {
    services_from_json(json);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ServiceJson, RefusesMalformedLists) {
  EXPECT_THAT(refusal("[{\"name\": \"a\""), HasSubstr("not valid JSON"));
  EXPECT_THAT(refusal(R"({"name": "a", "image": "i"})"), HasSubstr("array"));
  {
    std::string m = refusal(R"([{"name": "a", "image": "i"}, 7])");
    EXPECT_THAT(m, HasSubstr("entry 1"));
    EXPECT_THAT(m, HasSubstr("not an object"));
  }
  {  // a missing name: the entry is named by its index
    std::string m = refusal(R"([{"image": "i"}])");
    EXPECT_THAT(m, HasSubstr("entry 0"));
    EXPECT_THAT(m, HasSubstr("\"name\""));
  }
  {  // later entries are named by index and name
    std::string m = refusal(R"([{"name": "a", "image": "i"}, {"name": "api"}])");
    EXPECT_THAT(m, HasSubstr("entry 1 (api)"));
    EXPECT_THAT(m, HasSubstr("\"image\""));
  }
  struct Case {
    const char* entry;
    const char* key;
  };
  const Case bad_values[] = {
      {R"("name": 5, "image": "i")", "name"},
      {R"("name": "s", "image": ["i"])", "image"},
      {R"("name": "s", "image": "i", "command": ["a", "b"])", "command"},
      {R"("name": "s", "image": "i", "environment": ["A=1"])", "environment"},
      {R"("name": "s", "image": "i", "environment": {"A": 1})", "environment"},
      {R"("name": "s", "image": "i", "ports": {"5000": 5000})", "ports"},
      {R"("name": "s", "image": "i", "volumes": "temp-vol:/temp-vol")", "volumes"},
      {R"("name": "s", "image": "i", "volumes": [1])", "volumes"},
      {R"("name": "s", "image": "i", "networks": {"es-net": true})", "networks"},
      {R"("name": "s", "image": "i", "restart": true)", "restart"},
      {R"("name": "s", "image": "i", "cpuset": 1.5)", "cpuset"},
      {R"("name": "s", "image": "i", "cpuset": ["0-3"])", "cpuset"},
      {R"("name": "s", "image": "i", "ulimits": {"name": "memlock"})", "ulimits"},
      {R"("name": "s", "image": "i", "ulimits": ["memlock"])", "ulimits"},
      {R"("name": "s", "image": "i", "ulimits": [{"name": "memlock", "soft": -1}])", "ulimits"},
      {R"("name": "s", "image": "i", "ulimits": [{"name": 1, "soft": -1, "hard": -1}])", "ulimits"},
      {R"("name": "s", "image": "i", "ulimits": [{"name": "m", "soft": "-1", "hard": -1}])",
       "ulimits"},
  };
  for (const Case& c : bad_values) {
    std::string m = refusal(std::string(R"([{"name": "ok", "image": "i"}, {)") + c.entry + "}]");
    EXPECT_THAT(m, HasSubstr("entry 1")) << c.entry;
    EXPECT_THAT(m, HasSubstr(std::string("\"") + c.key + "\"")) << c.entry;
  }
  {  // the message says which ulimit field is missing
    std::string m = refusal(R"([{"name": "s", "image": "i", "ulimits": [{"name": "m", "soft": 1}]}])");
    EXPECT_THAT(m, HasSubstr("hard"));
  }
}

}  // namespace
}  // namespace bootstrap::installer
