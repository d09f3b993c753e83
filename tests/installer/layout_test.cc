// The product's layout: the whole of it against a reviewed text, and what must
// hold of any layout of it (names that do not collide, nothing joined or
// mounted that is not created, no host port published twice, workers that
// belong to their own service only).
#include "bootstrap/installer/layout.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

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
  out << "    digest " << d.digest << "\n";
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

TEST(Layout, DefinitionDigestFollowsEveryField) {
  ServiceDescription base;
  base.name = "api";
  base.image = "lmdx2/app";
  base.command = "/bin/sh -c \"./start.sh api\"";
  base.environment = KeyValues{{"TZ", "UTC"}, {"WNAME", "api"}};
  base.ulimits = std::vector<Ulimit>{{"memlock", -1, -1}};
  base.ports = KeyValues{{"5000", "5000"}};
  base.volumes = std::vector<std::string>{"temp-vol:/temp-vol"};
  base.restart = "always";
  base.cpuset = "0-3";
  base.networks = std::vector<std::string>{"es-net", "cache-net"};
  auto digest_of = [](const ServiceDescription& s, unsigned cpus = 8,
                      const std::string& application = "lumadex") {
    const ServiceList list{s};
    ContainerDefinition d = Layout(application, list, cpus).definition(list.front());
    EXPECT_EQ(d.digest, d.request.labels.at(kDefinitionLabel));
    return d.digest;
  };
  const std::string reference = digest_of(base);
  EXPECT_EQ(64u, reference.size());
  EXPECT_EQ(reference, digest_of(base)) << "the same definition, worked out again";
  {  // the container's name is its identity, not part of its definition
    const ServiceList list{base};
    EXPECT_EQ(reference, Layout("lumadex", list, 8u).definition(base, "lumadex-api_3").digest);
  }

  using Change = std::function<void(ServiceDescription&)>;
  const std::vector<std::pair<std::string, Change>> changes = {
      {"image tag", [](ServiceDescription& s) { s.image = "lmdx2/app:2.3"; }},
      {"command", [](ServiceDescription& s) { s.command = "/bin/sh -c ./start.sh"; }},
      {"no command", [](ServiceDescription& s) { s.command.reset(); }},
      {"environment value", [](ServiceDescription& s) { (*s.environment)[0].second = "CET"; }},
      {"environment order",
       [](ServiceDescription& s) { std::swap((*s.environment)[0], (*s.environment)[1]); }},
      {"empty environment", [](ServiceDescription& s) { s.environment = KeyValues{}; }},
      {"ulimit", [](ServiceDescription& s) { (*s.ulimits)[0].soft = 1024; }},
      {"port", [](ServiceDescription& s) { s.ports = KeyValues{{"5000", "5001"}}; }},
      {"bind target", [](ServiceDescription& s) { (*s.volumes)[0] = "temp-vol:/tmp"; }},
      {"bind source", [](ServiceDescription& s) { (*s.volumes)[0] = "/srv:/temp-vol"; }},
      {"restart policy", [](ServiceDescription& s) { s.restart = "no"; }},
      {"CPU set", [](ServiceDescription& s) { s.cpuset = "4-x"; }},
      {"network", [](ServiceDescription& s) { (*s.networks)[1] = "worker-net"; }},
      {"network order",
       [](ServiceDescription& s) { std::swap((*s.networks)[0], (*s.networks)[1]); }},
      {"alias", [](ServiceDescription& s) { s.name = "api2"; }},
  };
  std::set<std::string> seen{reference};
  for (const auto& [what, change] : changes) {
    ServiceDescription s = base;
    change(s);
    EXPECT_TRUE(seen.insert(digest_of(s)).second) << what << " leaves the digest as it was";
  }
  // The CPU set as resolved: one engine size that cuts it differs, another
  // that keeps it does not; the application's prefix renames volumes and
  // networks.
  EXPECT_NE(reference, digest_of(base, 2));
  EXPECT_EQ(reference, digest_of(base, 16));
  EXPECT_NE(reference, digest_of(base, 8, "other"));
}

}  // namespace
}  // namespace bootstrap::installer
