// install on a host without Docker: Docker is installed before anything
// tries to reach the engine, and the bring-up then goes on as usual.
#include <gtest/gtest.h>

#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "fakes/fake_host.h"
#include "tests/support/fake_engine.h"
#include "tests/support/run.h"

namespace bootstrap::testing {
namespace {

using installer::lumadex::LumadexInstaller;

// The last of the installation commands puts the docker program in place,
// as apt would.
class InstallingShell : public RecordingShellRunner {
 public:
  explicit InstallingShell(FakeProcessRunner& process) : process_(process) {}
  int run(const std::string& command_line) override {
    int status = RecordingShellRunner::run(command_line);
    if (command_line == "apt install docker-compose -y")
      process_.answers_["docker --version"] = {0, FakeHost::kDockerBanner};
    return status;
  }

 private:
  FakeProcessRunner& process_;
};

TEST(Install, DockerIsInstalledBeforeTheEngineIsContacted) {
  FakeHost fake;
  fake.remove_docker();
  InstallingShell shell(fake.process);
  host::Host host = fake.host;
  host::Host with_installing_shell{host.process, shell, host.system, host.files,
                                   host.sysctl_conf, host.os_release, host.apt_keyrings};

  auto engine = std::make_shared<FakeEngine>();
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    engine->add_image(s.image);
  std::vector<std::size_t> commands_before_each_client;
  LumadexInstaller product(LumadexInstaller::Environment{
      with_installing_shell,
      [&]() -> std::shared_ptr<docker::Client> {
        commands_before_each_client.push_back(shell.commands_ran_.size());
        return engine;
      },
      {}});

  ::testing::internal::CaptureStdout();
  bool completed = product.install();
  std::vector<std::string> out = lines_of(::testing::internal::GetCapturedStdout());

  EXPECT_TRUE(completed);
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{"installing lumadex", "contacting server please wait",
                                      "installing docker, please wait"}),
            std::vector<std::string>(out.begin(), out.begin() + 3));
  EXPECT_EQ(1, std::count(out.begin(), out.end(), "installing docker, please wait"))
      << "the bring-up's own check finds Docker present";
  EXPECT_EQ("starting container lumadex-api", out.back());
  EXPECT_EQ(6u, shell.commands_ran_.size());
  ASSERT_FALSE(commands_before_each_client.empty());
  EXPECT_EQ(6u, commands_before_each_client.front()) << "no engine client before Docker is there";
  EXPECT_EQ(13u, engine->container_names().size());
}

}  // namespace
}  // namespace bootstrap::testing
