// `bootstrap logs` on the sandbox engine: two containers' lines behind their
// aligned names, stderr included; --tail; -f printing a line written after
// it started and ending on Ctrl-C; and reading `--since`.
#include "bootstrap/app/logs.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/sandbox.h"

extern char** environ;

namespace bootstrap::testing {
namespace {

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

class LogsOnSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    client_ = sandbox_client();
    remove_objects(*client_, {"lumadex-"});
    client_->pull_image("kestro/probe", "latest", {});
    // Stand-ins for two services: a line on stderr, then three on stdout.
    for (const char* service : {"api", "queue"}) {
      docker::ContainerSpec definition;
      definition.image = "kestro/probe";
      definition.name = std::string("lumadex-") + service;
      // The trap lets a stop end it at once rather than after the engine's
      // grace period.
      definition.command = std::string("sh -c 'trap \"exit 0\" TERM; echo ") + service +
                           " warns >&2; sleep 0.2; for i in 1 2 3; do echo " + service +
                           " line $i; done; sleep 600 & wait'";
      client_->start_container(client_->create_container(definition).id);
    }
    // The lines are there once each log has all four.
    for (int tries = 0; tries < 50; ++tries) {
      std::size_t lines = 0;
      for (const char* name : {"lumadex-api", "lumadex-queue"})
        client_->container_logs(name, {}, [&lines](docker::LogStream, std::string_view) { ++lines; });
      if (lines == 8) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  void TearDown() override {
    if (client_) remove_objects(*client_, {"lumadex-"});
  }
  std::shared_ptr<docker::Client> client_;
};

TEST_F(LogsOnSandbox, PrefixedLinesTailAndFollow) {
  const std::string bootstrap = program_dir() + "/bootstrap";
  RunResult all = run_program({bootstrap, "logs", "queue", "api"});
  ASSERT_EQ(0, all.status) << all.err;
  // Catalogue order, whatever order they were named in; a stream's own lines
  // keep their order.
  std::vector<std::string> lines = lines_of(all.out);
  ASSERT_EQ(8u, lines.size()) << all.out;
  EXPECT_EQ(sorted({"lumadex-queue | queue warns", "lumadex-queue | queue line 1",
                    "lumadex-queue | queue line 2", "lumadex-queue | queue line 3"}),
            sorted({lines.begin(), lines.begin() + 4}));
  EXPECT_EQ(sorted({"lumadex-api   | api warns", "lumadex-api   | api line 1",
                    "lumadex-api   | api line 2", "lumadex-api   | api line 3"}),
            sorted({lines.begin() + 4, lines.end()}));
  EXPECT_EQ("lumadex-api   | api line 3", lines[7]);

  // The container's name as status shows it, and -n for --tail.
  RunResult tail = run_program({bootstrap, "logs", "lumadex-api", "-n", "2", "--timestamps"});
  ASSERT_EQ(0, tail.status) << tail.err;
  lines = lines_of(tail.out);
  ASSERT_EQ(2u, lines.size()) << tail.out;
  EXPECT_TRUE(starts_with(lines[0], "lumadex-api | 20")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find("Z api line 3")) << lines[1];

  RunResult none = run_program({bootstrap, "logs", "api", "--tail", "0"});
  EXPECT_EQ("lumadex-api | (no output)\n", none.out);

  RunResult unknown = run_program({bootstrap, "logs", "api", "apii"});
  EXPECT_EQ(2, unknown.status);
  EXPECT_EQ("", unknown.out);
  EXPECT_NE(std::string::npos, unknown.err.find("\"apii\" is not one of the product's services"))
      << unknown.err;

  // -f: a line written after the start shows up; Ctrl-C ends it.
  int pipe_ends[2];
  ASSERT_EQ(0, ::pipe(pipe_ends));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  std::vector<char*> argv = {const_cast<char*>(bootstrap.c_str()), const_cast<char*>("logs"),
                             const_cast<char*>("-f"), const_cast<char*>("--tail"),
                             const_cast<char*>("0"), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawn(&pid, bootstrap.c_str(), &actions, nullptr, argv.data(), environ));
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  // Written to the main process's stdout, which is what the engine logs.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  RunResult late = run_program(
      {"docker", "exec", "lumadex-queue", "sh", "-c", "echo written later > /proc/1/fd/1"});
  EXPECT_EQ(0, late.status) << late.err;
  std::string followed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (followed.find("written later\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd ready{pipe_ends[0], POLLIN, 0};
    if (::poll(&ready, 1, 200) <= 0) continue;
    char buffer[512];
    ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer);
    if (got <= 0) break;
    followed.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ("lumadex-queue | written later\n", followed);
  ::kill(pid, SIGINT);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ::close(pipe_ends[0]);
  EXPECT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
  EXPECT_EQ(130, WEXITSTATUS(wstatus));
}

TEST(LogsSince, DurationsAndTimes) {
  const std::int64_t now = 1'800'000'000;
  EXPECT_EQ(now - 90, app::parse_since("90s", now));
  EXPECT_EQ(now - 5400, app::parse_since("1h30m", now));
  EXPECT_EQ(now - 2 * 86400, app::parse_since("2d", now));
  EXPECT_EQ(1'700'000'000, app::parse_since("1700000000", now));
  EXPECT_EQ(1'777'593'600, app::parse_since("2026-05-01", now));
  EXPECT_EQ(1'777'629'600, app::parse_since("2026-05-01T10:00:00Z", now));
  EXPECT_EQ(1'777'622'400, app::parse_since("2026-05-01T10:00:00+02:00", now));
  for (const char* bad : {"", "m", "10x", "1h30", "yesterday", "2026-13-01", "2026-05-01T25:00:00",
                          "2026-05-01T10:00:00+2"})
    EXPECT_FALSE(app::parse_since(bad, now)) << bad;
}

}  // namespace
}  // namespace bootstrap::testing
