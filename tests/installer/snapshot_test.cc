// Building the installer object: one snapshot of the engine's networks,
// volumes and containers (stopped ones too), in the engine's order.
#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::Lines;
using test::Rig;

TEST(Snapshot, TakenOnceAtConstruction) {
  {
    Rig rig;
    rig.engine->add_network("lumadex-es-net", "net-a");
    rig.engine->add_network("bridge");
    rig.engine->add_network("lumadex-es-net", "net-b");  // listed twice: the later one counts
    rig.engine->add_volume("lumadex-temp-vol");
    rig.engine->add_container("lumadex-api", "lmdx2/app", "running");
    rig.engine->add_container("lumadex-es1", "elasticsearch:7.12.1", "exited");
    rig.engine->add_container("lumadex-task", "lmdx2/app", "created");
    KestroInstaller installer("lumadex", rig.services, rig.engine, rig.host.host);
    EXPECT_EQ((Lines{"list networks", "list volumes", "list containers all"}),
              rig.engine->requests_);
    EXPECT_EQ((Lines{"lumadex-es-net", "bridge"}), installer.networks.keys());
    EXPECT_EQ("net-b", installer.networks.at("lumadex-es-net").id);
    EXPECT_EQ(Lines{"lumadex-temp-vol"}, installer.volumes.keys());
    EXPECT_EQ((Lines{"lumadex-api", "lumadex-es1", "lumadex-task"}), installer.containers.keys());
    EXPECT_FALSE(installer.is_logged_in);
    EXPECT_TRUE(installer.renewed_images.empty());
    EXPECT_EQ(std::nullopt, installer.user_name);
    // the engine is not asked again: later changes by others are not seen
    rig.engine->add_container("lumadex-beater", "lmdx2/app", "running");
    EXPECT_FALSE(installer.containers.contains("lumadex-beater"));
  }
  {  // an empty engine gives three empty maps
    Rig rig;
    KestroInstaller& installer = rig.make();
    EXPECT_TRUE(installer.networks.empty());
    EXPECT_TRUE(installer.volumes.empty());
    EXPECT_TRUE(installer.containers.empty());
  }
  {  // a failed listing: no object
    Rig rig;
    rig.engine->fail_next("list volumes", docker::ApiError("list volumes", 500, "boom"));
    EXPECT_THROW(KestroInstaller("lumadex", rig.services, rig.engine, rig.host.host),
                 docker::ApiError);
  }
}

}  // namespace
}  // namespace bootstrap::installer
