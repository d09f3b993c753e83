// Container preparation: the definition a service description turns into,
// and what the engine and the installer's maps hold afterwards.
#include <stdexcept>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::definition_of;
using test::Lines;
using test::Rig;
using test::service;

TEST(PrepareContainer, DefinitionFromDescription) {
  {  // only name and image: image, no command, name, nothing else
    Rig rig;
    rig.engine->add_image("redis:6.0.4");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.prepare_container(service("cache", "redis:6.0.4"), "lumadex-cache");
    EXPECT_EQ(Lines{}, out.lines());
    EXPECT_EQ((Lines{"image redis:6.0.4", "command (none)", "name lumadex-cache"}),
              definition_of(*rig.engine, "lumadex-cache"));
    EXPECT_EQ(Lines{"create container lumadex-cache"}, rig.engine->requests_);
    // created, not started, and recorded under the name it was given
    EXPECT_EQ("created", rig.engine->container("lumadex-cache")->state);
    EXPECT_EQ(std::vector<std::string>{"lumadex-cache"}, installer.containers.keys());
    EXPECT_EQ("id-lumadex-cache", installer.containers.at("lumadex-cache").id);
  }
  {  // every key
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    rig.engine->ncpu_ = 8;
    ServiceDescription s = service("api", "lmdx2/app");
    s.command = "/bin/sh -c \"./start.sh api\"";
    s.environment = KeyValues{{"WNAME", "api"}, {"TZ", "Asia/Tehran"}, {"HEALTHCHECK", "1"}};
    s.ulimits = std::vector<Ulimit>{{"memlock", -1, -1}, {"nofile", 1024, 4096}};
    s.ports = KeyValues{{"5000", "5000"}};
    s.volumes = std::vector<std::string>{"temp-vol:/temp-vol",
                                         "/var/run/docker.sock:/var/run/docker.sock"};
    s.restart = "always";
    s.cpuset = "0-3";
    rig.make().prepare_container(s, "lumadex-api");
    EXPECT_EQ((Lines{"image lmdx2/app", "command /bin/sh -c \"./start.sh api\"",
                     "name lumadex-api", "environment WNAME=api TZ=Asia/Tehran HEALTHCHECK=1",
                     "ulimits memlock:-1:-1 nofile:1024:4096", "ports 5000=5000",
                     "binds lumadex-temp-vol->/temp-vol:rw "
                     "/var/run/docker.sock->/var/run/docker.sock:rw",
                     "restart always", "cpuset 0-3"}),
              definition_of(*rig.engine, "lumadex-api"));
  }
  {  // present but empty values are given as they are
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    ServiceDescription s = service("api", "lmdx2/app");
    s.environment = KeyValues{};
    s.volumes = std::vector<std::string>{};
    s.networks = std::vector<std::string>{};
    rig.make().prepare_container(s, "lumadex-api");
    EXPECT_EQ((Lines{"image lmdx2/app", "command (none)", "name lumadex-api", "environment",
                     "binds"}),
              definition_of(*rig.engine, "lumadex-api"));
    EXPECT_EQ(Lines{"create container lumadex-api"}, rig.engine->requests_);
  }
  {  // mounts: read-write always, a third part ignored, one mount per source
     // (a later entry replaces an earlier one where it stood)
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    ServiceDescription s = service("api", "lmdx2/app");
    s.volumes = std::vector<std::string>{"data:/first", "/etc/hosts:/etc/hosts:ro",
                                         "logs:/logs", "data:/second:ro"};
    rig.make().prepare_container(s, "lumadex-api");
    EXPECT_EQ((Lines{"image lmdx2/app", "command (none)", "name lumadex-api",
                     "binds lumadex-data->/second:rw /etc/hosts->/etc/hosts:rw "
                     "lumadex-logs->/logs:rw"}),
              definition_of(*rig.engine, "lumadex-api"));
  }
}

TEST(PrepareContainer, JoinsNetworksUnderTheServiceName) {
  Rig rig;
  rig.engine->add_image("redis:6.0.4");
  rig.engine->add_network("lumadex-es-net");
  rig.engine->add_network("lumadex-cache-net");
  ServiceDescription s = service("cache", "redis:6.0.4");
  s.networks = std::vector<std::string>{"es-net", "cache-net"};
  rig.make().prepare_container(s, "lumadex-cache_2");
  EXPECT_EQ((Lines{"create container lumadex-cache_2",
                   "connect lumadex-cache_2 to lumadex-es-net as cache",
                   "connect lumadex-cache_2 to lumadex-cache-net as cache"}),
            rig.engine->requests_);
  using Membership = bootstrap::testing::FakeEngine::Membership;
  EXPECT_EQ((std::vector<Membership>{{"lumadex-es-net", {"cache"}}, {"lumadex-cache-net", {"cache"}}}),
            rig.engine->container("lumadex-cache_2")->networks);
}

TEST(PrepareContainer, ExistingContainerConvergesToItsDefinition) {
  const Lines recreated{"stop lumadex-cache", "remove container lumadex-cache",
                        "create container lumadex-cache"};
  {  // the same definition again asks the engine nothing; a changed one is
     // recreated under the same name
    Rig rig;
    rig.engine->add_image("redis:6.0.4");
    rig.engine->add_image("redis:7");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.prepare_container(service("cache", "redis:6.0.4"), "lumadex-cache");
    installer.prepare_container(service("cache", "redis:6.0.4"), "lumadex-cache");
    EXPECT_EQ(Lines{"create container lumadex-cache"}, rig.engine->requests_);
    rig.engine->requests_.clear();
    ServiceDescription changed = service("cache", "redis:6.0.4");
    changed.restart = "always";
    installer.prepare_container(changed, "lumadex-cache");
    EXPECT_EQ(recreated, rig.engine->requests_);
    EXPECT_EQ(Lines{"recreating container lumadex-cache: its definition changed"}, out.lines());
    EXPECT_EQ((Lines{"image redis:6.0.4", "command (none)", "name lumadex-cache", "restart always"}),
              definition_of(*rig.engine, "lumadex-cache"));
    // a dry run announces the same recreation as one it would make
    installer.describe_only = true;
    CapturedStdout described;
    installer.prepare_container(service("cache", "redis:6.0.4"), "lumadex-cache");
    EXPECT_EQ(Lines{"would recreate container lumadex-cache: its definition changed"},
              described.lines());
  }
  {  // a labelled container from the snapshot is judged by its label alone
    Rig rig;
    rig.engine->add_image("redis:6.0.4");
    rig.engine->add_container("lumadex-cache", "redis:6.0.4", "exited")
        .definition.labels[kDefinitionLabel] = "stale";
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    installer.prepare_container(service("cache", "redis:6.0.4"), "lumadex-cache");
    EXPECT_EQ(recreated, rig.engine->requests_);
  }
  // A container without the label (made before it existed) is adopted when it
  // runs the image asked for, however the reference is spelled, and recreated
  // when it runs another, the line naming both images (an image whose tag
  // moved is listed by id); an adopted stopped one stays as it is.
  for (const auto& [listed, asked, adopted, shown] :
       {std::tuple{"redis:6.0.4", "redis:6.0.4", true, ""},
        std::tuple{"lmdx2/app", "lmdx2/app:latest", true, ""},
        std::tuple{"redis:5", "redis:6.0.4", false, "redis:5"},
        std::tuple{"sha256:0123456789abcdef", "redis:6.0.4", false, "0123456789ab"}}) {
    SCOPED_TRACE(std::string(listed) + " for " + asked);
    Rig rig;
    rig.engine->add_image(asked);
    rig.engine->add_container("lumadex-cache", listed, "exited");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.prepare_container(service("cache", asked), "lumadex-cache");
    EXPECT_EQ(adopted ? Lines{} : recreated, rig.engine->requests_);
    EXPECT_EQ(adopted ? Lines{}
                      : Lines{"recreating container lumadex-cache: its image changed from " +
                              std::string(shown) + " to " + asked},
              out.lines());
    EXPECT_EQ(adopted ? "exited" : "created", rig.engine->container("lumadex-cache")->state);
  }
}

TEST(PrepareContainer, Failures) {
  {  // a volume entry without ":" fails before anything is created
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    ServiceDescription s = service("api", "lmdx2/app");
    s.volumes = std::vector<std::string>{"temp-vol:/temp-vol", "temp-vol"};
    KestroInstaller& installer = rig.make();
    EXPECT_THROW(installer.prepare_container(s, "lumadex-api"), std::invalid_argument);
    EXPECT_EQ(Lines{}, rig.engine->requests_);
    EXPECT_TRUE(installer.containers.empty());
  }
  {  // an image the engine lacks: refused, nothing recorded
    Rig rig;
    KestroInstaller& installer = rig.make();
    EXPECT_THROW(installer.prepare_container(service("api", "lmdx2/app"), "lumadex-api"),
                 docker::ImageNotFound);
    EXPECT_TRUE(installer.containers.empty());
  }
  {  // a name taken by a container made after the snapshot: 409, not recorded
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    KestroInstaller& installer = rig.make();
    rig.engine->add_container("lumadex-api", "lmdx2/app", "running");
    try {
      installer.prepare_container(service("api", "lmdx2/app"), "lumadex-api");
      ADD_FAILURE() << "a taken name was accepted";
    } catch (const docker::ApiError& e) {
      EXPECT_EQ(409, e.status());
    }
    EXPECT_TRUE(installer.containers.empty());
  }
  {  // a network missing from the installer's map: the container is created
     // and recorded, and keeps the networks joined before
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    rig.engine->add_network("lumadex-es-net");
    ServiceDescription s = service("api", "lmdx2/app");
    s.networks = std::vector<std::string>{"es-net", "ghost-net", "es-net2"};
    KestroInstaller& installer = rig.make();
    EXPECT_THROW(installer.prepare_container(s, "lumadex-api"), std::out_of_range);
    EXPECT_EQ((Lines{"create container lumadex-api", "connect lumadex-api to lumadex-es-net as api"}),
              rig.engine->requests_);
    EXPECT_TRUE(installer.containers.contains("lumadex-api"));
  }
  {  // a refused connect: the container stays created and recorded
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    rig.engine->add_network("lumadex-es-net");
    rig.engine->fail_next("connect", docker::ApiError("connect", 500, "driver failed"));
    ServiceDescription s = service("api", "lmdx2/app");
    s.networks = std::vector<std::string>{"es-net"};
    KestroInstaller& installer = rig.make();
    EXPECT_THROW(installer.prepare_container(s, "lumadex-api"), docker::ApiError);
    EXPECT_TRUE(installer.containers.contains("lumadex-api"));
    EXPECT_NE(nullptr, rig.engine->container("lumadex-api"));
  }
  {  // a network gone from the engine since the snapshot: the engine's
     // refusal names it as the operator knows it, not by an id
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    rig.engine->add_network("lumadex-es-net", "cb679022");
    ServiceDescription s = service("api", "lmdx2/app");
    s.networks = std::vector<std::string>{"es-net"};
    KestroInstaller& installer = rig.make();
    rig.engine->networks_.clear();
    try {
      installer.prepare_container(s, "lumadex-api");
      ADD_FAILURE() << "connected to a network that is gone";
    } catch (const docker::NotFound& e) {
      EXPECT_EQ("network lumadex-es-net not found", e.message());
    }
  }
}

}  // namespace
}  // namespace bootstrap::installer
