// What the rest of the system and the application images rely on in the
// catalogue: order, names, which entries share an image, absent keys.
#include <set>

#include <gtest/gtest.h>

#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::installer::lumadex {
namespace {

const ServiceDescription& entry(const std::string& name) {
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services)
    if (s.name == name) return s;
  throw std::out_of_range(name);
}

TEST(Catalogue, OrderNamesImagesAndCpuSets) {
  const ServiceList& list = LumadexInstaller::lumadex_services;
  std::vector<std::string> names, app_roles, open_ended;
  for (const ServiceDescription& s : list) {
    names.push_back(s.name);
    if (s.image == LumadexInstaller::main_service) app_roles.push_back(s.name);
    ASSERT_TRUE(s.cpuset) << s.name;
    if (*s.cpuset == "4-x") open_ended.push_back(s.name);
    else EXPECT_EQ("0-3", *s.cpuset) << s.name;
    EXPECT_EQ("always", s.restart.value_or("")) << s.name;
  }
  EXPECT_EQ((std::vector<std::string>{"beater", "worker-shortops", "worker-task", "worker-trigger",
                                      "worker", "worker-ocr", "streaming", "coordinator", "es1",
                                      "es2", "queue", "cache", "api"}),
            names);
  EXPECT_EQ((std::vector<std::string>{"beater", "worker-shortops", "worker-task", "worker-trigger",
                                      "worker", "worker-ocr", "api"}),
            app_roles);
  EXPECT_EQ((std::vector<std::string>{"worker-task", "worker", "worker-ocr"}), open_ended);
  EXPECT_EQ("lmdx2/app", LumadexInstaller::main_service);
}

TEST(Catalogue, AbsentKeysStayAbsent) {
  EXPECT_FALSE(entry("beater").volumes.has_value());
  EXPECT_FALSE(entry("coordinator").command.has_value());
  EXPECT_EQ((KeyValues{{"KAFKA_BROKER_ID", "1"}}), entry("coordinator").environment.value());
  for (const char* store : {"queue", "cache"}) {
    EXPECT_FALSE(entry(store).command.has_value()) << store;
    EXPECT_FALSE(entry(store).environment.has_value()) << store;
  }
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services) {
    EXPECT_EQ(s.name == "api", s.ports.has_value()) << s.name;
    EXPECT_EQ(s.name == "es1" || s.name == "es2", s.ulimits.has_value()) << s.name;
  }
}

TEST(Catalogue, ApplicationEnvironmentContract) {
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services) {
    if (s.image != LumadexInstaller::main_service) continue;
    const KeyValues& env = s.environment.value();
    ASSERT_EQ(3u, env.size()) << s.name;
    EXPECT_EQ((std::pair<std::string, std::string>{"TZ", "Asia/Istanbul"}), env[0]) << s.name;
    EXPECT_EQ("WNAME", env[1].first);
    EXPECT_EQ("HEALTHCHECK", env[2].first);
  }
  EXPECT_EQ("ocr", entry("worker-ocr").environment->at(1).second);
  EXPECT_EQ("/bin/sh -c \"./start.sh workerocr\"", entry("worker-ocr").command.value());
  EXPECT_EQ("elasticsearch cache", entry("api").environment->at(2).second);
  EXPECT_EQ((KeyValues{{"5000", "5000"}}), entry("api").ports.value());
  EXPECT_EQ((std::vector<UlimitEntry>{{"memlock", -1, -1}}), entry("es2").ulimits.value());
  EXPECT_EQ("es1", entry("es2").environment->at(6).second);  // discovery.seed_hosts
}

TEST(Catalogue, YieldsFourNetworksAndEightNamedVolumes) {
  std::set<std::string> networks, volumes;
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services) {
    for (const std::string& n : s.networks.value_or(std::vector<std::string>{})) networks.insert(n);
    for (const std::string& v : s.volumes.value_or(std::vector<std::string>{})) {
      VolumeEntry e = parse_volume_entry(v);
      if (!e.is_host_path()) volumes.insert(e.source);
    }
  }
  EXPECT_EQ((std::set<std::string>{"worker-net", "cache-net", "es-net", "streaming-net"}), networks);
  EXPECT_EQ((std::set<std::string>{"temp-vol", "streaming-vol", "coordinator-conf-vol",
                                   "coordinator-data-vol", "es1-vol", "es2-vol", "queue-vol",
                                   "cache-vol"}),
            volumes);
  // uninstall removes five of them and never the search or cache data.
  for (const std::string& removed : LumadexInstaller::removed_volumes) {
    EXPECT_TRUE(volumes.count(removed.substr(std::string("lumadex-").size()))) << removed;
    EXPECT_EQ(std::string::npos, removed.find("es1")) << removed;
    EXPECT_NE("lumadex-cache-vol", removed);
  }
}

}  // namespace
}  // namespace bootstrap::installer::lumadex
