// Compose down and volume removal.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::Lines;
using test::Rig;
using test::service;

// `lines` with the entries from `from` on sorted: the order in which networks
// are removed is not defined.
Lines sorted_tail(Lines lines, std::size_t from) {
  std::sort(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
  return lines;
}

// Three services; "api_ocr" continues "api" with "_", so its container also
// looks like a worker of "api". "es-net" is named by two services.
void set_up_product(Rig& rig) {
  ServiceDescription es1 = service("es1", "elasticsearch:7.12.1");
  es1.networks = std::vector<std::string>{"es-net"};
  ServiceDescription api = service("api", "lmdx2/app");
  api.networks = std::vector<std::string>{"es-net", "cache-net"};
  ServiceDescription ocr = service("api_ocr", "lmdx2/app");
  ocr.networks = std::vector<std::string>{"cache-net", "ghost-net"};
  rig.services = {es1, api, ocr, service("no-networks", "redis")};

  rig.engine->add_network("lumadex-es-net");
  rig.engine->add_network("lumadex-cache-net");
  rig.engine->add_network("lumadex-other-net");
  rig.engine->add_volume("lumadex-temp-vol");
  rig.engine->add_container("lumadex-es1", "elasticsearch:7.12.1", "running");
  rig.engine->add_container("lumadex-api", "lmdx2/app", "running");
  rig.engine->add_container("lumadex-apix", "lmdx2/app", "running");  // not api's
  rig.engine->add_container("lumadex-api_1", "lmdx2/app", "running");
  rig.engine->add_container("lumadex-api_ocr", "lmdx2/app", "running");
  rig.engine->add_container("lumadex-api_2", "lmdx2/app", "exited");
  rig.engine->add_container("other-app", "nginx", "running");
}

TEST(ComposeDown, StopsAllThenRemovesAllThenNetworks) {
  Rig rig;
  set_up_product(rig);
  // Without Docker's program (a Podman host): the engine that answered is
  // what counts.
  rig.host.remove_docker();
  KestroInstaller& installer = rig.make();
  // Made after the snapshot: the installer does not know it.
  rig.engine->add_container("lumadex-api_9", "lmdx2/app", "running");
  CapturedStdout out;
  installer.compose_down();
  EXPECT_EQ((Lines{"stopping container lumadex-es1", "stopping container lumadex-api",
                   "stopping container lumadex-api_1", "stopping container lumadex-api_ocr",
                   "stopping container lumadex-api_2", "stopping container lumadex-api_ocr",
                   "removing container lumadex-es1", "removing container lumadex-api",
                   "removing container lumadex-api_1", "removing container lumadex-api_ocr",
                   "removing container lumadex-api_2", "removing network lumadex-cache-net",
                   "removing network lumadex-es-net"}),
            sorted_tail(out.lines(), 11));
  EXPECT_EQ((Lines{"stop lumadex-es1", "stop lumadex-api", "stop lumadex-api_1",
                   "stop lumadex-api_ocr", "stop lumadex-api_2", "stop lumadex-api_ocr",
                   "remove container lumadex-es1", "remove container lumadex-api",
                   "remove container lumadex-api_1", "remove container lumadex-api_ocr",
                   "remove container lumadex-api_2", "remove network lumadex-cache-net",
                   "remove network lumadex-es-net"}),
            sorted_tail(rig.engine->requests_, 11));
  EXPECT_EQ((Lines{"lumadex-apix", "other-app", "lumadex-api_9"}), rig.engine->container_names());
  EXPECT_EQ(Lines{"lumadex-other-net"}, rig.engine->network_names());
  EXPECT_EQ(Lines{"lumadex-temp-vol"}, rig.engine->volume_names());
  EXPECT_EQ((Lines{"lumadex-apix", "other-app"}), installer.containers.keys());
  EXPECT_EQ(Lines{"lumadex-other-net"}, installer.networks.keys());
  EXPECT_EQ(Lines{"lumadex-temp-vol"}, installer.volumes.keys());
}

TEST(ComposeDown, NothingToDo) {
  {  // an empty service list: nothing asked of the engine or the host
    Rig rig;
    rig.engine->add_network("lumadex-es-net");
    rig.engine->add_container("lumadex-es1", "e", "running");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.compose_down();
    EXPECT_EQ(Lines{}, out.lines());
    EXPECT_EQ(Lines{}, rig.engine->requests_);
    EXPECT_EQ(Lines{}, rig.host.process.commands_ran_);
  }
}

TEST(ComposeDown, AfterComposeUpAndScaling) {
  // Containers joined to their networks: the networks go only after the
  // containers, so the engine never refuses a network still in use.
  Rig rig;
  ServiceDescription api = service("api", "lmdx2/app");
  api.networks = std::vector<std::string>{"cache-net"};
  ServiceDescription cache = service("cache", "redis:6.0.4");
  cache.networks = std::vector<std::string>{"cache-net"};
  rig.services = {api, cache};
  rig.engine->add_image("lmdx2/app");
  rig.engine->add_image("redis:6.0.4");
  KestroInstaller& installer = rig.make();
  CapturedStdout quiet;
  ASSERT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  installer.scale_service("api", 2);
  rig.engine->requests_.clear();
  installer.compose_down();
  EXPECT_EQ((Lines{"stop lumadex-api", "stop lumadex-api_1", "stop lumadex-cache",
                   "remove container lumadex-api", "remove container lumadex-api_1",
                   "remove container lumadex-cache", "remove network lumadex-cache-net"}),
            rig.engine->requests_);
  EXPECT_TRUE(installer.containers.empty());
  EXPECT_TRUE(installer.networks.empty());
  // a following bring-up on the same object creates everything again
  rig.engine->requests_.clear();
  ASSERT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  EXPECT_EQ(1, std::count(rig.engine->requests_.begin(), rig.engine->requests_.end(),
                          "create network lumadex-cache-net"));
  EXPECT_EQ(1, std::count(rig.engine->requests_.begin(), rig.engine->requests_.end(),
                          "create container lumadex-api"));
}

TEST(ComposeDown, EngineErrorLeavesWhatWasDone) {
  Rig rig;
  set_up_product(rig);
  rig.engine->fail_next("remove container lumadex-api_1",
                        docker::ApiError("remove container lumadex-api_1", 500, "device busy"));
  KestroInstaller& installer = rig.make();
  CapturedStdout out;
  EXPECT_THROW(installer.compose_down(), docker::ApiError);
  // es1's visit was complete; api's was not, so even its removed base
  // container keeps its key. No network was touched.
  EXPECT_EQ((Lines{"lumadex-api", "lumadex-apix", "lumadex-api_1", "lumadex-api_ocr",
                   "lumadex-api_2", "other-app"}),
            installer.containers.keys());
  EXPECT_EQ((Lines{"lumadex-apix", "lumadex-api_1", "lumadex-api_ocr", "lumadex-api_2",
                   "other-app"}),
            rig.engine->container_names());
  EXPECT_EQ(3u, installer.networks.size());
  EXPECT_EQ("remove container lumadex-api_1", rig.engine->requests_.back());
}

TEST(RemoveVolume, ByEngineName) {
  {
    Rig rig;
    rig.engine->add_volume("lumadex-temp-vol");
    rig.engine->add_volume("lumadex-es-data1");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.remove_volume("lumadex-temp-vol");
    EXPECT_EQ(Lines{}, out.lines());
    EXPECT_EQ((Lines{"get volume lumadex-temp-vol", "remove volume lumadex-temp-vol"}),
              rig.engine->requests_);
    EXPECT_EQ(Lines{"lumadex-es-data1"}, rig.engine->volume_names());
    // the installer's own map follows, so a later bring-up creates it again
    EXPECT_EQ((Lines{"lumadex-es-data1"}), installer.volumes.keys());
  }
  {  // a missing volume: the not-found text, and a normal return
    Rig rig;
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.remove_volume("temp-vol");
    EXPECT_EQ(Lines{"get volume temp-vol: 404: get temp-vol: no such volume"}, out.lines());
    EXPECT_EQ(Lines{"get volume temp-vol"}, rig.engine->requests_);
  }
  {  // gone between lookup and removal: also not found, also done
    Rig rig;
    rig.engine->add_volume("lumadex-temp-vol");
    rig.engine->fail_next("remove volume", docker::NotFound("remove volume lumadex-temp-vol", 404,
                                                            "no such volume"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.remove_volume("lumadex-temp-vol");
    EXPECT_EQ(Lines{"remove volume lumadex-temp-vol: 404: no such volume"}, out.lines());
  }
  {  // a volume in use: the engine's refusal reaches the caller
    Rig rig;
    rig.engine->add_volume("lumadex-temp-vol");
    rig.engine->add_container("lumadex-api", "lmdx2/app", "exited").definition.binds =
        std::vector<docker::Bind>{{"lumadex-temp-vol", "/temp-vol", "rw"}};
    KestroInstaller& installer = rig.make();
    try {
      installer.remove_volume("lumadex-temp-vol");
      ADD_FAILURE() << "a volume in use was removed";
    } catch (const docker::ApiError& e) {
      EXPECT_EQ(409, e.status());
    }
    EXPECT_EQ(Lines{"lumadex-temp-vol"}, rig.engine->volume_names());
  }
}

}  // namespace
}  // namespace bootstrap::installer
