// The real host facilities, run against harmless programs, and the console
// helper.

#include "bootstrap/host/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/curl_transport.h"
#include "bootstrap/util/util.h"
#include "tests/docker/fake_http_server.h"
#include "tests/host/fakes.h"

namespace bootstrap::host {
namespace {

TEST(RealProcessRunner, CapturesStandardOutputAndStatus) {
  ProcessRunner& runner = real_host().process;
  {
    ProcessRunner::Result r = runner.run("/bin/echo", {"hi"});
    EXPECT_EQ(0, r.exit_status);
    EXPECT_EQ("hi\n", r.output);
  }
  {
    ProcessRunner::Result r = runner.run("sh", {"-c", "echo out; echo err >&2; exit 7"});
    EXPECT_EQ(7, r.exit_status);
    EXPECT_EQ("out\n", r.output);  // the error output is not captured
  }
  {
    ProcessRunner::Result r = runner.run("head", {"-c", "200000", "/dev/zero"});
    EXPECT_EQ(std::string(200000, '\0'), r.output);
  }
  {
    EXPECT_EQ(143, runner.run("sh", {"-c", "kill -TERM $$"}).exit_status);
  }
  {
    try {
      runner.run("no-such-program-for-host-test", {});
      ADD_FAILURE() << "no error";
    } catch (const HostError& e) {
      EXPECT_EQ("cannot run no-such-program-for-host-test: No such file or directory",
                std::string(e.what()));
    }
  }
}

// Children inherit neither the engine's connection, open between requests,
// nor libcurl's own sockets (each sees the console's three descriptors; ";
// true" keeps the shell from handing its process over to ls), nor a program
// planted in the caller's PATH.
TEST(Children, SeeOnlyTheConsoleAndOurPath) {
  docker::testing::FakeHttpServer server;
  server.reply(200, "OK", "OK");
  docker::ClientConfig config;
  config.host = "unix://" + (config.socket_path = server.socket_path());
  config.base_url = "http://localhost";
  docker::CurlTransport transport(config);
  ASSERT_EQ(200, transport.send({"GET", "/_ping", std::nullopt, {}}).status);
  fakes::TempDir planted;
  fakes::write_file(planted.path() / "sh", "#!/bin/sh\necho planted\n");
  std::filesystem::permissions(planted.path() / "sh", std::filesystem::perms::owner_all);
  const std::string caller_path = std::getenv("PATH");
  ::setenv("PATH", planted.path().c_str(), 1);

  const std::string listing = "ls /proc/$$/fd; echo $PATH";
  const std::string seen = std::string("0\n1\n2\n") + kProgramPath + "\n";
  EXPECT_EQ(seen, real_host().process.run("sh", {"-c", listing}).output);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, real_host().shell.run(listing));
  EXPECT_EQ(0, real_host().shell.run_program("sh", {"-c", listing}));
  EXPECT_EQ(seen + seen, ::testing::internal::GetCapturedStdout());
  ::setenv("PATH", caller_path.c_str(), 1);
}

TEST(RealShellRunner, RunsTheLineThroughTheShell) {
  ShellRunner& shell = real_host().shell;
  fakes::TempDir dir;
  EXPECT_EQ(3, shell.run("exit 3"));
  EXPECT_EQ(137, shell.run("kill -KILL $$"));
  EXPECT_EQ(0, shell.run("printf 'a b' | tr ' ' _ > " + (dir.path() / "out").string()));
  EXPECT_EQ("a_b", fakes::file_bytes(dir.path() / "out"));
}

TEST(RealSystemInfo, DescribesThisMachine) {
  SystemInfo& system = real_host().system;
  EXPECT_EQ("linux", system.platform_name());
  EXPECT_EQ("posix", system.os_family());
  EXPECT_EQ("Linux", system.system_name());
  EXPECT_GE(system.cpu_count(), 1u);
  std::optional<std::string> release = fakes::file_bytes("/proc/sys/kernel/osrelease");
  ASSERT_TRUE(release);
  EXPECT_EQ(std::string(base::trim(*release)), system.kernel_release());
}

TEST(Text, Files) {
  fakes::TempDir dir;
  EXPECT_EQ(std::nullopt, real_files().read_if_present(dir.path() / "missing"));
  fakes::write_file(dir.path() / "f", std::string("x\0y", 3));
  EXPECT_EQ(std::string("x\0y", 3), real_files().read_if_present(dir.path() / "f"));
  EXPECT_THROW(real_files().read_if_present(dir.path()), HostError);  // a folder
}

TEST(Util, ColourOnlyWhenAskedAndKnown) {
  const struct {
    const char* colour;
    bool coloured;
    const char* printed;
  } kCases[] = {
      {"yellow", true, "\033[33mlow\033[0m\n"},
      {"yellow", false, "low\n"},
      {"mauve", true, "low\n"},
  };
  for (const auto& c : kCases) {
    ::testing::internal::CaptureStdout();
    util::Util::cprint("low", c.colour, c.coloured);
    EXPECT_EQ(c.printed, ::testing::internal::GetCapturedStdout()) << c.colour << " " << c.coloured;
  }
}

}  // namespace
}  // namespace bootstrap::host
