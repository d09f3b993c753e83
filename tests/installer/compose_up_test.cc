// Compose up: networks and volumes, then every service installed, then every
// container started; engine API errors reported and the bring-up ended.
#include <algorithm>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "bootstrap/host/host.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::Lines;
using test::Rig;
using test::service;

// Four services: two networks (one shared), a named volume mounted by three
// services, one more named volume, and a host path mount.
ServiceList small_list() {
  ServiceDescription es1 = service("es1", "elasticsearch:7.12.1");
  es1.volumes = std::vector<std::string>{"es-data1:/usr/share/elasticsearch/data"};
  es1.networks = std::vector<std::string>{"es-net"};
  ServiceDescription cache = service("cache", "redis:6.0.4");
  cache.volumes = std::vector<std::string>{"temp-vol:/temp-vol"};
  cache.networks = std::vector<std::string>{"cache-net"};
  ServiceDescription api = service("api", "lmdx2/app");
  api.command = "./start.sh api";
  api.volumes = std::vector<std::string>{"temp-vol:/temp-vol",
                                         "/var/run/docker.sock:/var/run/docker.sock"};
  api.networks = std::vector<std::string>{"es-net", "cache-net"};
  api.restart = "always";
  ServiceDescription worker = service("worker", "lmdx2/app");
  worker.command = "./start.sh worker";
  worker.volumes = std::vector<std::string>{"temp-vol:/temp-vol"};
  worker.networks = std::vector<std::string>{"cache-net"};
  return {es1, cache, api, worker};
}

void fill_registry(bootstrap::testing::FakeEngine& engine) {
  for (const char* image : {"elasticsearch:7.12.1", "redis:6.0.4", "lmdx2/app", "lmdx2/extra"})
    engine.add_to_registry(image);
}

// `lines` with its first `n` entries sorted: the order among networks, and
// among volumes, is not defined.
Lines sorted_head(Lines lines, std::size_t n) {
  std::sort(lines.begin(), lines.begin() + static_cast<long>(std::min(n, lines.size())));
  return lines;
}

TEST(ComposeUp, FirstBringUpThenSecond) {
  Rig rig;
  rig.services = small_list();
  fill_registry(*rig.engine);
  KestroInstaller& installer = rig.make();
  {
    CapturedStdout out;
    EXPECT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
    EXPECT_EQ((Lines{"creating network lumadex-cache-net", "creating network lumadex-es-net",
                     "creating volume lumadex-es-data1", "creating volume lumadex-temp-vol",
                     "installing lumadex-es1", "pulling elasticsearch 7.12.1, please wait...",
                     "pull successfull", "installing lumadex-cache",
                     "pulling redis 6.0.4, please wait...", "pull successfull",
                     "installing lumadex-api", "pulling lmdx2/app latest, please wait...",
                     "pull successfull", "installing lumadex-worker",
                     "starting container lumadex-es1", "starting container lumadex-cache",
                     "starting container lumadex-api", "starting container lumadex-worker"}),
              sorted_head(out.lines(), 4));
    // Networks first, then volumes (each group in some order), then each
    // service installed in list order, and only then every start.
    Lines requests = rig.engine->requests_;
    std::sort(requests.begin(), requests.begin() + 2);
    std::sort(requests.begin() + 2, requests.begin() + 4);
    EXPECT_EQ((Lines{"create network lumadex-cache-net", "create network lumadex-es-net",
                     "create volume lumadex-es-data1 local", "create volume lumadex-temp-vol local",
                     "get image elasticsearch:7.12.1", "pull elasticsearch:7.12.1",
                     "create container lumadex-es1", "connect lumadex-es1 to lumadex-es-net as es1",
                     "get image redis:6.0.4", "pull redis:6.0.4", "create container lumadex-cache",
                     "connect lumadex-cache to lumadex-cache-net as cache",
                     "get image lmdx2/app", "pull lmdx2/app:latest", "create container lumadex-api",
                     "connect lumadex-api to lumadex-es-net as api",
                     "connect lumadex-api to lumadex-cache-net as api", "get image lmdx2/app",
                     "create container lumadex-worker",
                     "connect lumadex-worker to lumadex-cache-net as worker",
                     "start lumadex-es1", "start lumadex-cache", "start lumadex-api",
                     "start lumadex-worker"}),
              requests);
    // The host path is mounted but is no volume; the shared one exists once.
    EXPECT_EQ((Lines{"lumadex-es-data1", "lumadex-temp-vol"}), [&] {
      Lines v = rig.engine->volume_names();
      std::sort(v.begin(), v.end());
      return v;
    }());
    for (const char* name : {"lumadex-es1", "lumadex-cache", "lumadex-api", "lumadex-worker"})
      EXPECT_EQ("running", rig.engine->container(name)->state) << name;
  }
  {  // again on the same object: nothing created or fetched, everything started
    rig.engine->requests_.clear();
    CapturedStdout out;
    EXPECT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
    EXPECT_EQ((Lines{"installing lumadex-es1", "installing lumadex-cache", "installing lumadex-api",
                     "installing lumadex-worker", "starting container lumadex-es1",
                     "starting container lumadex-cache", "starting container lumadex-api",
                     "starting container lumadex-worker"}),
              out.lines());
    EXPECT_EQ((Lines{"get image elasticsearch:7.12.1", "get image redis:6.0.4",
                     "get image lmdx2/app", "get image lmdx2/app", "start lumadex-es1",
                     "start lumadex-cache", "start lumadex-api", "start lumadex-worker"}),
              rig.engine->requests_);
  }
  {  // and on a new object over the same engine, which judges from its snapshot
    rig.make();
    CapturedStdout out;
    EXPECT_TRUE(rig.installer->compose_up(std::nullopt, std::nullopt, false));
    EXPECT_EQ((Lines{"get image elasticsearch:7.12.1", "get image redis:6.0.4",
                     "get image lmdx2/app", "get image lmdx2/app", "start lumadex-es1",
                     "start lumadex-cache", "start lumadex-api", "start lumadex-worker"}),
              rig.engine->requests_);
  }
}

TEST(ComposeUp, UpdateRefreshesTheLatestImageOnce) {
  Rig rig;
  rig.services = small_list();
  fill_registry(*rig.engine);
  {
    CapturedStdout quiet;
    rig.make().compose_up(std::nullopt, std::nullopt, false);
  }
  rig.make();  // a new object: nothing fetched yet in its life
  CapturedStdout out;
  EXPECT_TRUE(rig.installer->compose_up(std::nullopt, std::nullopt, true));
  // Fetched before anything is defined, so a failed fetch changes nothing.
  EXPECT_EQ((Lines{"pulling lmdx2/app latest, please wait...", "pull successfull",
                   "installing lumadex-es1", "installing lumadex-cache", "installing lumadex-api",
                   "installing lumadex-worker", "starting container lumadex-es1",
                   "starting container lumadex-cache", "starting container lumadex-api",
                   "starting container lumadex-worker"}),
            out.lines());
}

TEST(ComposeUp, StoresCredentialsAndLogsInOnce) {
  {
    Rig rig;
    rig.services = small_list();
    fill_registry(*rig.engine);
    rig.engine->users_["user"] = "secret";
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    EXPECT_TRUE(installer.compose_up("user", "secret", false));
    EXPECT_EQ("user", installer.user_name);
    EXPECT_EQ("secret", installer.password);
    EXPECT_EQ(1, std::count(rig.engine->requests_.begin(), rig.engine->requests_.end(),
                            "login user"));
    // the login comes right before the first pull
    auto login = std::find(rig.engine->requests_.begin(), rig.engine->requests_.end(), "login user");
    ASSERT_NE(rig.engine->requests_.end(), login);
    EXPECT_EQ("pull elasticsearch:7.12.1", *(login + 1));
  }
  {  // no user name: pulls without any login
    Rig rig;
    rig.services = small_list();
    fill_registry(*rig.engine);
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    EXPECT_TRUE(installer.compose_up(std::nullopt, "secret", false));
    EXPECT_EQ(0, std::count_if(rig.engine->requests_.begin(), rig.engine->requests_.end(),
                               [](const std::string& r) { return r.starts_with("login"); }));
    EXPECT_EQ(std::nullopt, installer.user_name);
  }
}

TEST(ComposeUp, ReportsEngineErrorsAndStops) {
  {  // 401 while fetching the fifth service's image: four defined, none started
    Rig rig;
    rig.services = small_list();
    rig.services.push_back(service("extra", "lmdx2/extra"));
    rig.services.push_back(service("last", "redis:6.0.4"));
    fill_registry(*rig.engine);
    // the login is refused, and the registry then refuses the private image
    rig.engine->users_["user"] = "secret";
    rig.engine->private_repositories_.insert("lmdx2/extra");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up("user", "wrong", false));
    Lines printed = out.lines();
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ("unauthorized access!", printed.back());
    EXPECT_EQ("pulling lmdx2/extra latest, please wait...", printed[printed.size() - 2]);
    EXPECT_EQ((Lines{"lumadex-es1", "lumadex-cache", "lumadex-api", "lumadex-worker"}),
              installer.containers.keys());
    for (const std::string& name : rig.engine->container_names())
      EXPECT_EQ("created", rig.engine->container(name)->state) << name;
    EXPECT_EQ(0, std::count_if(rig.engine->requests_.begin(), rig.engine->requests_.end(),
                               [](const std::string& r) { return r.starts_with("start"); }));
  }
  {  // another status on the first network: its text, the retry line, nothing else
    Rig rig;
    rig.services = small_list();
    rig.engine->fail_next("create network",
                          docker::ApiError("create network lumadex-x", 500, "driver failed"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up(std::nullopt, std::nullopt, false));
    Lines printed = out.lines();
    ASSERT_EQ(3u, printed.size());
    EXPECT_TRUE(printed[0].starts_with("creating network lumadex-")) << printed[0];
    EXPECT_EQ((Lines{"create network lumadex-x: 500: driver failed",
                     "unknown error, please try again!"}),
              Lines(printed.begin() + 1, printed.end()));
    EXPECT_EQ(1u, rig.engine->requests_.size());
    EXPECT_TRUE(installer.networks.empty());
  }
}

TEST(ComposeUp, TwoServicesOfOneName) {
  // One container, defined once and started twice.
  Rig rig;
  rig.services = {service("cache", "redis:6.0.4"), service("cache", "redis:6.0.4")};
  rig.engine->add_image("redis:6.0.4");
  KestroInstaller& installer = rig.make();
  CapturedStdout quiet;
  EXPECT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  EXPECT_EQ((Lines{"get image redis:6.0.4", "create container lumadex-cache",
                   "get image redis:6.0.4", "start lumadex-cache", "start lumadex-cache"}),
            rig.engine->requests_);
}

TEST(ComposeUp, ErrorTexts) {
  {  // another status: the error's own text, then the retry line; nothing after
    Rig rig;
    rig.services = small_list();
    fill_registry(*rig.engine);
    rig.engine->fail_next("start lumadex-api",
                          docker::ApiError("start lumadex-api", 500, "port is already allocated"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up(std::nullopt, std::nullopt, false));
    Lines printed = out.lines();
    ASSERT_GE(printed.size(), 4u);
    EXPECT_EQ((Lines{"starting container lumadex-cache", "starting container lumadex-api",
                     "start lumadex-api: 500: port is already allocated",
                     "unknown error, please try again!"}),
              Lines(printed.end() - 4, printed.end()));
    EXPECT_EQ("created", rig.engine->container("lumadex-worker")->state);
  }
  {  // a not-found answer is an API error too (an image the registry lacks)
    Rig rig;
    rig.services = {service("cache", "redis:9")};
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up(std::nullopt, std::nullopt, false));
    EXPECT_EQ((Lines{"installing lumadex-cache", "pulling redis 9, please wait...",
                     "pull redis:9: 404: pull access denied for redis, repository does not exist "
                     "or may require 'docker login': denied: requested access to the resource "
                     "is denied",
                     "unknown error, please try again!"}),
              out.lines());
  }
  {  // the first error ends the bring-up: no later service is installed
    Rig rig;
    rig.services = small_list();
    fill_registry(*rig.engine);
    rig.engine->fail_next("create volume",
                          docker::ApiError("create volume", 500, "no space left on device"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up(std::nullopt, std::nullopt, false));
    Lines requests = rig.engine->requests_;
    EXPECT_EQ(3u, requests.size());
    EXPECT_TRUE(requests.back().starts_with("create volume")) << requests.back();
    EXPECT_EQ(2u, installer.networks.size());
  }
}

TEST(ComposeUp, OtherErrorsReachTheCaller) {
  {  // an unreachable engine is not an API error
    Rig rig;
    rig.services = small_list();
    fill_registry(*rig.engine);
    rig.engine->fail_next("get image", docker::ConnectionError("get image", "unix:///run/docker.sock",
                                                                "Connection refused"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.compose_up(std::nullopt, std::nullopt, false), docker::ConnectionError);
  }
  {  // a malformed volume entry
    Rig rig;
    ServiceDescription s = service("cache", "redis:6.0.4");
    s.volumes = std::vector<std::string>{"temp-vol"};
    rig.services = {s};
    fill_registry(*rig.engine);
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.compose_up(std::nullopt, std::nullopt, false), std::invalid_argument);
    // the volume step reads only the part before the first ":"
    EXPECT_EQ((Lines{"create volume lumadex-temp-vol local", "get image redis:6.0.4",
                     "pull redis:6.0.4"}),
              rig.engine->requests_);
  }
  {  // host preparation is outside the guard: an unreadable settings file
     // asks the engine nothing
    Rig rig;
    rig.services = small_list();
    std::filesystem::remove(rig.host.host.sysctl_conf);
    std::filesystem::create_directory(rig.host.host.sysctl_conf);
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.compose_up(std::nullopt, std::nullopt, false), host::HostError);
    EXPECT_EQ(Lines{}, out.lines());
    EXPECT_EQ(Lines{}, rig.engine->requests_);
  }
}

TEST(ComposeUp, PreparedHostIsQuiet) {
  Rig rig;  // empty service list; the docker program is not asked either
  KestroInstaller& installer = rig.make();
  CapturedStdout out;
  EXPECT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  EXPECT_EQ(Lines{}, out.lines());
  EXPECT_EQ(Lines{}, rig.engine->requests_);
  EXPECT_EQ(Lines{}, rig.host.shell.commands_ran_);
  EXPECT_EQ(Lines{"sysctl vm.max_map_count"}, rig.host.process.commands_ran_);
}

}  // namespace
}  // namespace bootstrap::installer
