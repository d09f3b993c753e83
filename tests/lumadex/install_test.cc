// install on a host without Docker: Docker is installed before anything
// tries to reach the engine, and the bring-up then goes on as usual. On a
// host where an engine answers, nothing is installed whatever the docker
// program says.
#include <algorithm>

#include <gtest/gtest.h>

#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "fakes/fake_host.h"
#include "tests/support/fake_engine.h"
#include "tests/support/run.h"

namespace bootstrap::testing {
namespace {

using installer::lumadex::LumadexInstaller;

// The last of the installation commands puts the docker program in place
// and starts the engine, as apt would.
class InstallingShell : public RecordingShellRunner {
 public:
  InstallingShell(FakeProcessRunner& process, FakeEngine& engine)
      : process_(process), engine_(engine) {}
  int run(const std::string& command_line) override {
    int status = RecordingShellRunner::run(command_line);
    if (command_line == "apt -o DPkg::Lock::Timeout=300 install docker-compose -y") {
      process_.answers_["docker --version"] = {0, FakeHost::kDockerBanner};
      engine_.answers_ = true;
    }
    return status;
  }

 private:
  FakeProcessRunner& process_;
  FakeEngine& engine_;
};

std::shared_ptr<FakeEngine> engine_with_the_images() {
  auto engine = std::make_shared<FakeEngine>();
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    engine->add_image(s.image);
  return engine;
}

TEST(Install, DockerIsInstalledBeforeTheEngineIsContacted) {
  FakeHost fake;
  fake.remove_docker();
  auto engine = engine_with_the_images();
  engine->answers_ = false;
  InstallingShell shell(fake.process, *engine);
  host::Host host = fake.host;
  host::Host with_installing_shell{host.process, shell, host.system, host.files,
                                   host.sysctl_conf, host.os_release, host.apt_keyrings};

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
  EXPECT_EQ("starting container lumadex-api", out.at(out.size() - 2));
  EXPECT_EQ(7u, shell.commands_ran_.size());
  // The ping that found no engine, the wait for the new one, the deployment.
  EXPECT_EQ((std::vector<std::size_t>{0, 7, 7}), commands_before_each_client);
  EXPECT_EQ((std::vector<std::string>{"ping", "version"}),
            std::vector<std::string>(engine->requests_.begin(), engine->requests_.begin() + 2));
  EXPECT_EQ(13u, engine->container_names().size());
}

TEST(Install, AnEngineThatAnswersIsUsedAsItIs) {
  {  // Podman answering at the default socket, its docker program saying so
    FakeHost fake;
    fake.process.answers_["docker --version"] = {0, "podman version 4.3.1\n"};
    auto engine = engine_with_the_images();
    LumadexInstaller product(LumadexInstaller::Environment{fake.host, [&] { return engine; }, {}});
    ::testing::internal::CaptureStdout();
    bool completed = product.install();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(completed) << out;
    EXPECT_EQ(std::string::npos, out.find("installing docker")) << out;
    EXPECT_EQ(std::vector<std::string>{}, fake.shell.commands_ran_);
    EXPECT_EQ(0, std::count(fake.process.commands_ran_.begin(), fake.process.commands_ran_.end(),
                            "docker --version"));
    EXPECT_EQ(13u, engine->container_names().size());
  }
  {  // no engine at a DOCKER_HOST of the operator's: not ours to install
    FakeHost fake;
    fake.remove_docker();
    auto engine = engine_with_the_images();
    engine->answers_ = false;
    LumadexInstaller::Environment environment{fake.host, [&] { return engine; }, {}};
    environment.default_socket = false;
    LumadexInstaller product(environment);
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(product.install(), docker::ConnectionError);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::vector<std::string>{}, fake.shell.commands_ran_);
  }
}

TEST(Install, FromABundleOnAHostWithoutDockerStopsBeforeAnyChange) {
  FakeHost fake;
  fake.remove_docker();
  auto engine = engine_with_the_images();
  engine->answers_ = false;
  LumadexInstaller product(LumadexInstaller::Environment{fake.host, [&] { return engine; }, {}});
  bool loaded = false;
  LumadexInstaller::ImageLoad images{{"lmdx2/app:latest"}, [&](docker::Client&) { loaded = true; }};

  ::testing::internal::CaptureStdout();
  std::string error;
  try {
    product.install(std::nullopt, false, &images);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
  EXPECT_EQ(0u, error.find("Docker must be installed first: ")) << error;
  EXPECT_FALSE(loaded);
  EXPECT_EQ(std::vector<std::string>{}, fake.shell.commands_ran_);
}

}  // namespace
}  // namespace bootstrap::testing

namespace bootstrap::testing {
namespace {

// Raising the value is configure's one job: a refused raise is its failure.
TEST(Configure, FailsWhenTheValueCouldNotBeRaised) {
  FakeHost fake;
  fake.process.answers_["sysctl vm.max_map_count"] = {0, "vm.max_map_count = 65530\n"};
  fake.shell.unlisted_status_ = 1;
  LumadexInstaller product(LumadexInstaller::Environment{fake.host, [] { return nullptr; }, {}});
  ::testing::internal::CaptureStdout();
  EXPECT_THROW(product.configure(), std::runtime_error);
  ::testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace bootstrap::testing
