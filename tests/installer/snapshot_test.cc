// Building the installer object: one snapshot of the engine's networks,
// volumes and containers (stopped ones too), in the engine's order.
#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
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

// Engines before 25 accept a second network of a name; the snapshot maps the
// name to one of them, and install clears the others away before it relies
// on the name.
TEST(Snapshot, DuplicateNetworksOfOurNames) {
  auto rig_with_duplicates = [](Rig& rig) {
    ServiceDescription api;
    api.name = "api";
    api.image = "lmdx2/app";
    api.networks = std::vector<std::string>{"es-net", "cache-net"};
    rig.services = {api};
    rig.engine->add_network("lumadex-es-net", "aaaa1111bbbb2222");
    rig.engine->add_network("lumadex-es-net", "cccc3333dddd4444");
    rig.engine->add_network("lumadex-es-net", "eeee5555ffff6666");
    rig.engine->add_network("lumadex-cache-net", "cache-only");
    rig.engine->add_network("bridge", "bridge-1");
    rig.engine->add_network("bridge", "bridge-2");  // not ours: left alone
  };
  {  // the one a container joined stays, whatever its place in the listing
    Rig rig;
    rig_with_duplicates(rig);
    rig.engine->add_container("lumadex-api", "lmdx2/app", "exited").network_ids = {
        "aaaa1111bbbb2222", "cache-only"};
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.remove_duplicate_networks();
    EXPECT_EQ((Lines{"removing duplicate network lumadex-es-net (id cccc3333dddd)",
                     "removing duplicate network lumadex-es-net (id eeee5555ffff)"}),
              out.lines());
    EXPECT_EQ((Lines{"remove network lumadex-es-net", "remove network lumadex-es-net"}),
              rig.engine->requests_);
    EXPECT_EQ((Lines{"lumadex-es-net", "lumadex-cache-net", "bridge", "bridge"}),
              rig.engine->network_names());
    EXPECT_EQ("aaaa1111bbbb2222", installer.networks.at("lumadex-es-net").id);
  }
  {  // none in use: the snapshot's choice stays
    Rig rig;
    rig_with_duplicates(rig);
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.remove_duplicate_networks();
    EXPECT_EQ(2u, out.lines().size());
    EXPECT_EQ("eeee5555ffff6666", installer.networks.at("lumadex-es-net").id);
    // a second pass finds nothing more to do
    rig.engine->requests_.clear();
    installer.remove_duplicate_networks();
    EXPECT_TRUE(rig.engine->requests_.empty());
  }
  {  // two in use: refused, with nothing removed
    Rig rig;
    rig_with_duplicates(rig);
    rig.engine->add_container("lumadex-api", "lmdx2/app", "running").network_ids = {
        "aaaa1111bbbb2222"};
    rig.engine->add_container("lumadex-api_1", "lmdx2/app", "running").network_ids = {
        "eeee5555ffff6666"};
    KestroInstaller& installer = rig.make();
    try {
      installer.remove_duplicate_networks();
      ADD_FAILURE() << "two networks in use were accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string("the engine has 3 networks named lumadex-es-net and containers use 2 "
                            "of them (aaaa1111bbbb, eeee5555ffff); run 'bootstrap uninstall', "
                            "then install again"),
                e.what());
    }
    EXPECT_TRUE(rig.engine->requests_.empty());
  }
}

}  // namespace
}  // namespace bootstrap::installer
