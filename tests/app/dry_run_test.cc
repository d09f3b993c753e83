// A dry run takes the same decisions as a real run, reads the engine, and
// sends it nothing that would change it.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/dry_run_client.h"
#include "bootstrap/installer/kestro_installer.h"
#include "fakes/fake_host.h"
#include "tests/support/fake_engine.h"

namespace bootstrap::testing {
namespace {

using installer::KestroInstaller;
using installer::ServiceDescription;
using installer::ServiceList;

bool is_read(const std::string& request) {
  for (const char* read : {"list ", "get image ", "get volume ", "info", "inspect", "version", "api version"})
    if (request.rfind(read, 0) == 0) return true;
  return false;
}

ServiceList two_services() {
  ServiceDescription web;
  web.name = "web";
  web.image = "app";
  web.networks = std::vector<std::string>{"net"};
  web.volumes = std::vector<std::string>{"data:/data"};
  ServiceDescription db = web;
  db.name = "db";
  db.image = "db:1.0";
  return {web, db};
}

TEST(DryRun, BringUpOnlyReads) {
  auto fake = std::make_shared<FakeEngine>();
  fake->add_image("db:1.0");
  fake->add_to_registry("app:latest");
  FakeHost host;
  const ServiceList services = two_services();

  ::testing::internal::CaptureStdout();
  bool completed = false;
  {
    KestroInstaller installer("demo", services, std::make_shared<docker::DryRunClient>(fake, std::cout),
                              host.host);
    completed = installer.compose_up(std::nullopt, std::nullopt, false);
  }
  std::vector<std::string> out = base::split_lines(::testing::internal::GetCapturedStdout());
  EXPECT_TRUE(completed);

  for (const std::string& request : fake->requests_) EXPECT_TRUE(is_read(request)) << request;
  EXPECT_TRUE(fake->container_names().empty());
  EXPECT_TRUE(fake->network_names().empty());
  EXPECT_TRUE(fake->volume_names().empty());
  EXPECT_FALSE(fake->has_image("app:latest"));

  // The installer's own lines, each followed by what would have been done.
  EXPECT_EQ((std::vector<std::string>{
                "creating network demo-net",
                "would create network demo-net",
                "creating volume demo-data",
                "would create volume demo-data (driver local)",
                "installing demo-web",
                "pulling app latest, please wait...",
                "would pull app:latest",
                "pull successfull",
                "would create container demo-web from app",
                "would connect container demo-web to network demo-net as web",
                "installing demo-db",
                "would create container demo-db from db:1.0",
                "would connect container demo-db to network demo-net as db",
                "starting container demo-web",
                "would start container demo-web",
                "starting container demo-db",
                "would start container demo-db",
            }),
            out);
}

TEST(DryRun, TakeDownOnlyReads) {
  auto fake = std::make_shared<FakeEngine>();
  fake->add_network("demo-net", "net-id");
  fake->add_container("demo-web", "app");
  fake->add_container("demo-web_1", "app", "exited");
  fake->add_volume("demo-data");
  FakeHost host;
  const ServiceList services = two_services();

  ::testing::internal::CaptureStdout();
  {
    KestroInstaller installer("demo", services, std::make_shared<docker::DryRunClient>(fake, std::cout),
                              host.host);
    installer.compose_down();
    installer.remove_volume("demo-data");
  }
  std::vector<std::string> out = base::split_lines(::testing::internal::GetCapturedStdout());

  for (const std::string& request : fake->requests_) EXPECT_TRUE(is_read(request)) << request;
  EXPECT_EQ((std::vector<std::string>{"demo-web", "demo-web_1"}), fake->container_names());
  EXPECT_EQ((std::vector<std::string>{"demo-data"}), fake->volume_names());
  EXPECT_EQ((std::vector<std::string>{
                "stopping container demo-web", "would stop container demo-web",
                "stopping container demo-web_1", "would stop container demo-web_1",
                "removing container demo-web", "would remove container demo-web",
                "removing container demo-web_1", "would remove container demo-web_1",
                "removing network demo-net", "would remove network demo-net",
                "would remove volume demo-data"}),
            out);
}

TEST(DryRun, HostChangesAreDescribed) {
  FakeHost fake;
  fake.process.answers_["sysctl vm.max_map_count"] = {0, "vm.max_map_count = 65530\n"};
  std::ofstream(fake.host.sysctl_conf, std::ios::trunc) << "kernel.x=1\n";
  host::DryRunShellRunner describing;
  host::DescribingFiles describing_files(fake.host.files, std::cout);
  host::Host dry{fake.host.process, describing, fake.host.system, describing_files,
                 fake.host.sysctl_conf, fake.host.os_release, fake.host.apt_keyrings};

  ::testing::internal::CaptureStdout();
  KestroInstaller::check_vm_max_map_count(dry);
  std::vector<std::string> out = base::split_lines(::testing::internal::GetCapturedStdout());
  EXPECT_EQ((std::vector<std::string>{
                "vm.max_map_count<262144", "would apply vm.max_map_count=262144",
                "would run: sysctl -w vm.max_map_count=262144",
                "would make persistent vm.max_map_count=262144",
                "would append \"vm.max_map_count=262144\" to " + fake.host.sysctl_conf.string()}),
            out);
  std::ifstream in(fake.host.sysctl_conf);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("kernel.x=1\n", content);
  EXPECT_TRUE(fake.shell.commands_ran_.empty());
}

}  // namespace
}  // namespace bootstrap::testing
