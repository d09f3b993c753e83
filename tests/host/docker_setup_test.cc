
#include <gtest/gtest.h>

#include "bootstrap/host/docker_setup.h"
#include "tests/host/fakes.h"

namespace bootstrap::host {
namespace {

using fakes::FakeHost;
using fakes::write_file;
using Commands = std::vector<std::string>;

const char kJammy[] =
    "PRETTY_NAME=\"Ubuntu 22.04.4 LTS\"\n"
    "NAME=\"Ubuntu\"\n"
    "VERSION_ID=\"22.04\"\n"
    "VERSION_CODENAME=jammy\n"
    "ID=ubuntu\n"
    "UBUNTU_CODENAME=jammy\n";

Commands expected_commands(const std::string& arch, const std::string& codename) {
  return {
      "apt-get -o DPkg::Lock::Timeout=300 update",
      "apt -o DPkg::Lock::Timeout=300 install apt-transport-https ca-certificates curl gnupg"
      " software-properties-common -y",
      "install -m 0755 -d /etc/apt/keyrings && curl -fsSL https://download.docker.com/linux/ubuntu/gpg"
      " -o /etc/apt/keyrings/docker.asc.download",
      "chmod a+r /etc/apt/keyrings/docker.asc.download"
      " && mv -f /etc/apt/keyrings/docker.asc.download /etc/apt/keyrings/docker.asc",
      "add-apt-repository \"deb [arch=" + arch + " signed-by=/etc/apt/keyrings/docker.asc]"
      " https://download.docker.com/linux/ubuntu " + codename + " stable\"",
      "apt-get -o DPkg::Lock::Timeout=300 install docker-ce docker-ce-cli containerd.io -y",
      "apt -o DPkg::Lock::Timeout=300 install docker-compose -y",
  };
}

// An Ubuntu host on arm64 with the given os-release text, where Docker's key
// downloads as it should.
void make_ubuntu(FakeHost& fake, const std::string& os_release) {
  write_file(fake.host.os_release, os_release);
  fake.process.answers_["dpkg --print-architecture"] = {0, "arm64\n"};
  fake.show_docker_key(FakeHost::key_listing(kDockerKeyFingerprint));
}

bool docker_answers(int exit_status, const std::string& output) {
  FakeHost fake = FakeHost::bare();
  fake.process.answers_["docker --version"] = {exit_status, output};
  return is_docker_installed(fake.host);
}

TEST(IsDockerIstalled, OnlyTheExactBannerCounts) {
  {
    EXPECT_TRUE(docker_answers(0, "Docker version 24.0.7, build afdd53b\n"));
    EXPECT_TRUE(docker_answers(1, "Docker version 24.0.7, build afdd53b\n"));
    EXPECT_TRUE(docker_answers(0, "Docker version \xc3\xbc\n"));
  }
  for (const char* other : {"docker version 24.0.7\n", " Docker version 24.0.7\n",
                            "\nDocker version 24.0.7\n", "Docker version\n", "",
                            "Docker version 24.0.7 \xff\n", "Docker version \xc3\n"}) {
    EXPECT_FALSE(docker_answers(0, other)) << other;
  }
  {
    FakeHost fake = FakeHost::bare();  // no docker program
    EXPECT_FALSE(is_docker_installed(fake.host));
    EXPECT_EQ(Commands{"docker --version"}, fake.process.commands_ran_);
  }
  {
    struct Throwing : fakes::FakeProcessRunner {
      Result run(const std::string&, const std::vector<std::string>&) override {
        throw std::bad_alloc();
      }
    } throwing;
    FakeHost fake = FakeHost::bare();
    host::Host host{throwing, fake.shell, fake.system, fake.host.files};
    EXPECT_FALSE(is_docker_installed(host));
  }
}

TEST(DockerInstallNeeded, OnlyWithoutAnEngineAtTheDefaultSocketAndWithoutDocker) {
  struct Case {
    bool engine_answers;
    bool default_socket;
    const char* program_says;  // nullptr: no docker program
    bool needed;
  };
  const Case cases[] = {
      {false, true, nullptr, true},
      {false, true, "podman version 4.3.1\n", true},
      {false, true, FakeHost::kDockerBanner, false},
      {false, false, nullptr, false},
      {true, true, nullptr, false},
      {true, true, "podman version 4.3.1\n", false},
      {true, false, nullptr, false},
  };
  for (const Case& c : cases) {
    FakeHost fake = FakeHost::bare();
    if (c.program_says) fake.process.answers_["docker --version"] = {0, c.program_says};
    EXPECT_EQ(c.needed, docker_install_needed(fake.host, c.engine_answers, c.default_socket))
        << c.engine_answers << c.default_socket << (c.program_says ? c.program_says : "none");
    // The program is asked only when its answer decides.
    EXPECT_EQ(!c.engine_answers && c.default_socket, !fake.process.commands_ran_.empty());
  }
}

TEST(DockerInstallCommands, FollowTheHostsReleaseAndArchitecture) {
  {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    EXPECT_EQ(expected_commands("arm64", "jammy"), docker_install_commands(fake.host));
    EXPECT_EQ(Commands{"dpkg --print-architecture"}, fake.process.commands_ran_);
  }
  {
    FakeHost fake = FakeHost::bare();  // a derivative names its own release too; Ubuntu's wins
    make_ubuntu(fake, "VERSION_CODENAME=\"virginia\"\nUBUNTU_CODENAME='jammy'\n");
    EXPECT_EQ(expected_commands("arm64", "jammy"), docker_install_commands(fake.host));
  }
  {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, "UBUNTU_CODENAME=\nVERSION_CODENAME=\"noble\"\n");
    EXPECT_EQ(expected_commands("arm64", "noble"), docker_install_commands(fake.host));
  }
  for (const char* os_release : {"NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n",
                                 "UBUNTU_CODENAME=\"jammy; rm -rf /\"\n"}) {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, os_release);
    EXPECT_THROW(docker_install_commands(fake.host), host::HostError) << os_release;
  }
  {
    FakeHost fake = FakeHost::bare();  // no os-release at all
    fake.process.answers_["dpkg --print-architecture"] = {0, "arm64\n"};
    EXPECT_THROW(docker_install_commands(fake.host), host::HostError);
  }
  for (const host::ProcessRunner::Result& dpkg :
       {host::ProcessRunner::Result{2, "arm64\n"}, host::ProcessRunner::Result{0, " \n"}}) {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    fake.process.answers_["dpkg --print-architecture"] = dpkg;
    EXPECT_THROW(docker_install_commands(fake.host), host::HostError) << dpkg.output;
  }
  {
    FakeHost fake = FakeHost::bare();  // no dpkg program
    write_file(fake.host.os_release, kJammy);
    EXPECT_THROW(docker_install_commands(fake.host), host::HostError);
  }
}

TEST(InstallDocker, RunsTheCommandsInOrderAndStopsAtTheFirstFailure) {
  {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    install_docker(fake.host);
    EXPECT_EQ(expected_commands("arm64", "jammy"), fake.shell.commands_ran_);
  }
  {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    const std::string third = expected_commands("arm64", "jammy")[2];
    fake.shell.exit_status_[third] = 22;
    try {
      install_docker(fake.host);
      ADD_FAILURE() << "no error";
    } catch (const host::HostError& e) {
      EXPECT_EQ("docker installation failed: `" + third + "` exited with status 22",
                std::string(e.what()));
    }
    EXPECT_EQ(3u, fake.shell.commands_ran_.size());
  }
  {
    FakeHost fake = FakeHost::bare();  // nothing is looked at or run off Linux
    fake.system.platform_ = "darwin";
    try {
      install_docker(fake.host);
      ADD_FAILURE() << "no error";
    } catch (const host::HostError&) {
      ADD_FAILURE() << "not a host error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ("cannot install docker for darwin platform", std::string(e.what()));
    }
    EXPECT_TRUE(fake.shell.commands_ran_.empty());
    EXPECT_TRUE(fake.process.commands_ran_.empty());
  }
}

// apt trusts every key in the file, so Docker's key with another beside it is
// refused too; a refused download is removed and apt's sources are untouched.
TEST(InstallDocker, RefusesAKeyThatIsNotDockersAlone) {
  const std::string other = "0123456789ABCDEF0123456789ABCDEF01234567";
  const std::string refused = "docker installation failed: the key from "
                              "https://download.docker.com/linux/ubuntu/gpg is refused: ";
  const std::string not_docker = "it holds the key 0123 4567 89AB CDEF 0123 4567 89AB CDEF "
                                 "0123 4567, not Docker's 9DC8 5822 9FC7 DD38 854A E2D8 8D81 "
                                 "803C 0EBF CD88";
  struct Case {
    std::string listing;
    int gpg_status;
    std::string why;
  };
  const Case cases[] = {
      {FakeHost::key_listing(other), 0, not_docker},
      {FakeHost::key_listing(kDockerKeyFingerprint) + FakeHost::key_listing(other), 0, not_docker},
      {"", 0, "it holds no public key"},
      {FakeHost::key_listing(kDockerKeyFingerprint), 2, "gpg --show-keys exited with status 2"},
      {"", -1, "cannot run gpg: No such file or directory"},
  };
  for (const Case& c : cases) {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    if (c.gpg_status < 0)
      fake.process.answers_.erase(fake.gpg_command());
    else
      fake.show_docker_key(c.listing, c.gpg_status);
    try {
      install_docker(fake.host);
      ADD_FAILURE() << "no error for " << c.listing;
    } catch (const host::HostError& e) {
      EXPECT_EQ(refused + c.why, e.what());
    }
    Commands ran = expected_commands("arm64", "jammy");
    ran.resize(3);
    ran.push_back("rm -f /etc/apt/keyrings/docker.asc.download");
    EXPECT_EQ(ran, fake.shell.commands_ran_);
  }
}

TEST(DockerSetupProbe, PrintsTheHostFactsThenInstalls) {
  {
    FakeHost fake = FakeHost::bare();
    make_ubuntu(fake, kJammy);
    fake.shell.echo_ = true;
    ::testing::internal::CaptureStdout();
    docker_setup_probe(fake.host);
    std::string expected = "posix\nLinux\n6.1.0-18-amd64\nlinux\n"
                           "waiting up to 300 s for other package managers (apt lock)\n";
    for (const std::string& command : expected_commands("arm64", "jammy"))
      expected += "$ " + command + "\n";
    EXPECT_EQ(expected, ::testing::internal::GetCapturedStdout());
  }
  {
    FakeHost fake = FakeHost::bare();
    fake.system.platform_ = "win32";
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(docker_setup_probe(fake.host), std::runtime_error);
    EXPECT_EQ("posix\nLinux\n6.1.0-18-amd64\nwin32\n", ::testing::internal::GetCapturedStdout());
    EXPECT_TRUE(fake.shell.commands_ran_.empty());
  }
}

}  // namespace
}  // namespace bootstrap::host
