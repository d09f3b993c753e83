// What uninstall relies on in the catalogue: the volumes it removes are the
// product's own, and never the search or cache data. (The catalogue's whole
// layout is checked against a reviewed text in tests/installer/layout_test.cc.)
#include <set>

#include <gtest/gtest.h>

#include "bootstrap/installer/layout.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/swarm_placement.h"

namespace bootstrap::installer::lumadex {
namespace {

TEST(Catalogue, UninstallRemovesOnlyScratchVolumes) {
  const Layout layout(LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
  std::set<std::string> volumes;
  for (const LayoutObject& v : layout.volumes()) volumes.insert(v.name);
  for (const std::string& removed : LumadexInstaller::removed_volumes) {
    EXPECT_TRUE(volumes.count(removed)) << removed;
    EXPECT_EQ(std::string::npos, removed.find("es1")) << removed;
    EXPECT_NE("lumadex-cache-vol", removed);
  }
}

// On a swarm, exactly the services whose data would be lost on another node
// are pinned; the application roles share only scratch space and spread.
TEST(Catalogue, SwarmPinsExactlyTheServicesWithData) {
  const Layout layout(LumadexInstaller::application_name, LumadexInstaller::lumadex_services, 4u);
  std::set<std::string> pinned;
  for (const ServiceDescription& s : LumadexInstaller::lumadex_services)
    if (keeps_data(layout.definition(s))) pinned.insert(s.name);
  EXPECT_EQ((std::set<std::string>{"streaming", "coordinator", "es1", "es2", "queue", "cache"}),
            pinned);
  EXPECT_EQ("node.labels.io.kestro.place.lumadex-es1==true", placement_constraint(layout, "es1"));
}

}  // namespace
}  // namespace bootstrap::installer::lumadex
