// The product's layout: the whole of it against a reviewed text, and what must
// hold of any layout of it (names that do not collide, nothing joined or
// mounted that is not created, no host port published twice, workers that
// belong to their own service only).
#include "bootstrap/installer/layout.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using lumadex::LumadexInstaller;

void print_definition(std::ostringstream& out, const ContainerDefinition& d) {
  for (const std::string& line : test::describe(d.request)) out << "    " << line << "\n";
  if (d.cpuset_asked)
    out << "    cpuset asked " << *d.cpuset_asked << (d.cpuset_clamped ? ", cut to fit" : "")
        << "\n";
  for (const NetworkJoin& join : d.networks) {
    out << "    join " << join.network << " as";
    for (const std::string& alias : join.aliases) out << " " << alias;
    out << "\n";
  }
}

std::string print_layout(unsigned cpus) {
  const Layout layout(LumadexInstaller::application_name, LumadexInstaller::lumadex_services, cpus);
  std::ostringstream out;
  out << "on " << cpus << " CPUs\n  networks";
  for (const LayoutObject& n : layout.networks()) out << " " << n.short_name << "=" << n.name;
  out << "\n  volumes";
  for (const LayoutObject& v : layout.volumes()) out << " " << v.short_name << "=" << v.name;
  out << "\n";
  for (const ServiceDescription& s : layout.services()) {
    out << "  " << s.name << "\n";
    print_definition(out, layout.definition(s));
  }
  for (const ServiceDescription& s : layout.services())
    if (s.name == "worker") {
      out << "  worker 3 of " << s.name << "\n";
      print_definition(out, layout.worker_definition(s, 3));
    }
  return out.str();
}

// Set KESTRO_UPDATE_GOLDEN=1 to rewrite the file after a deliberate change,
// then review its diff.
TEST(Layout, CatalogueMatchesGoldenText) {
  const std::string text = "# The layout of the lumadex catalogue; application image " +
                           LumadexInstaller::main_service + "\n" + print_layout(2) +
                           print_layout(8);
  if (const char* update = std::getenv("KESTRO_UPDATE_GOLDEN"); update && *update == '1')
    std::ofstream(KESTRO_LAYOUT_GOLDEN) << text;
  std::ifstream in(KESTRO_LAYOUT_GOLDEN);
  ASSERT_TRUE(in) << KESTRO_LAYOUT_GOLDEN;
  std::ostringstream golden;
  golden << in.rdbuf();
  EXPECT_EQ(golden.str(), text);
}

TEST(Layout, CatalogueInvariants) {
  const Layout layout(LumadexInstaller::application_name, LumadexInstaller::lumadex_services, 8u);
  std::set<std::string> networks, volumes, names, host_ports;
  for (const LayoutObject& n : layout.networks()) {
    EXPECT_TRUE(networks.insert(n.name).second) << n.name;
    EXPECT_TRUE(names.insert(n.name).second) << n.name;
  }
  for (const LayoutObject& v : layout.volumes()) {
    EXPECT_TRUE(volumes.insert(v.name).second) << v.name;
    EXPECT_TRUE(names.insert(v.name).second) << v.name;
  }
  for (const ServiceDescription& s : layout.services()) {
    const ContainerDefinition d = layout.definition(s);
    EXPECT_TRUE(names.insert(d.request.name).second) << d.request.name;
    for (const NetworkJoin& join : d.networks)
      EXPECT_TRUE(networks.count(join.network)) << s.name << " joins " << join.network;
    for (const docker::Bind& bind : d.request.binds.value_or(std::vector<docker::Bind>{})) {
      if (bind.source.front() == '/') continue;
      EXPECT_TRUE(volumes.count(bind.source)) << s.name << " mounts " << bind.source;
    }
    for (const auto& [container_port, host_port] : d.request.ports.value_or(docker::KeyValues{}))
      EXPECT_TRUE(host_ports.insert(host_port).second) << s.name << " publishes " << host_port;

    // Workers belong to their own service only, and read back their number.
    for (int n : {1, 7, 100}) {
      const std::string worker = layout.worker(s.name, n);
      EXPECT_EQ(n, Layout::worker_number(worker)) << worker;
      for (const ServiceDescription& other : layout.services()) {
        EXPECT_EQ(other.name == s.name, layout.belongs_to(other.name, worker)) << worker;
        EXPECT_EQ(other.name == s.name, layout.belongs_to(other.name, d.request.name)) << other.name;
      }
    }
  }
}

}  // namespace
}  // namespace bootstrap::installer
