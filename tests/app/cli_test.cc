// The command line's contract with an operator: exit statuses, one-line
// errors, and bad input refused before anything changes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bootstrap/docker/docker_client.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

extern char** environ;

namespace bootstrap::testing {
namespace {

std::string bootstrap_bin() { return program_dir() + "/bootstrap"; }

RunResult bootstrap(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv{bootstrap_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, env);
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(Cli, HelpAndVersion) {
  {
    RunResult r = bootstrap({"--help"});
    EXPECT_EQ(0, r.status);
    for (const char* command : {"install", "update", "uninstall", "scale", "configure"})
      EXPECT_TRUE(contains(r.out, command)) << command << " missing from:\n" << r.out;
  }
  {
    RunResult r = bootstrap({"scale", "--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "SERVICE") && contains(r.out, "COUNT")) << r.out;
  }
  {
    RunResult r = bootstrap({"install", "--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "--version") && contains(r.out, "--update")) << r.out;
  }
  {
    RunResult r = bootstrap({"--version"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "bootstrap ")) << r.out;
  }
}

// Usage errors exit 2 before any engine is contacted: with DOCKER_HOST
// pointing nowhere, contacting it would have exited 1 instead.
TEST(Cli, BadInputIsRefusedBeforeAnythingRuns) {
  const std::vector<std::string> nowhere{"DOCKER_HOST=unix:///tmp/kestro-test-nowhere.sock"};
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{"frobnicate"}, ""},
      {{"scale", "worker"}, ""},
      {{"scale", "worker", "x"}, "COUNT"},
      {{"scale", "worker", "2.5"}, "COUNT"},
      {{"scale", "worker", "100000"}, "COUNT"},
      {{"scale", "nosuch", "2"}, "worker-ocr"},
      {{"scale", "lumadex-worker", "2"}, "is not one of"},
      {{"install", "--version", ""}, "--version"},
      {{"install", "--version", "bad tag"}, "--version"},
      {{"install", "--version", ".hidden"}, "--version"},
      {{"install", "--version", std::string(129, 'a')}, "--version"},
  };
  for (const Case& c : cases) {
    RunResult r = bootstrap(c.args, nowhere);
    std::string shown = c.args.empty() ? "(no arguments)" : c.args.front();
    for (std::size_t i = 1; i < c.args.size(); ++i) shown += " " + c.args[i];
    EXPECT_EQ(2, r.status) << shown << "\nstdout: " << r.out << "\nstderr: " << r.err;
    if (!c.says.empty()) {
      EXPECT_TRUE(contains(r.err, c.says)) << shown << ": " << r.err;
    }
    EXPECT_FALSE(contains(r.err, "kestro-test-nowhere")) << shown << ": " << r.err;
  }
}

TEST(Cli, UnreachableEngineIsOneLineNamingTheSocket) {
  const std::vector<std::string> nowhere{"DOCKER_HOST=unix:///tmp/kestro-test-nowhere.sock"};
  for (std::vector<std::string> args : {std::vector<std::string>{"scale", "worker", "2"},
                                        std::vector<std::string>{"uninstall"}}) {
    RunResult r = bootstrap(args, nowhere);
    EXPECT_EQ(1, r.status) << args.front() << ": " << r.err;
    EXPECT_EQ(1u, lines_of(r.err).size()) << r.err;
    EXPECT_TRUE(contains(r.err, "/tmp/kestro-test-nowhere.sock")) << r.err;
    EXPECT_TRUE(contains(r.err, "Docker service")) << r.err;
  }
  {
    RunResult r = bootstrap({"scale", "worker", "2"}, {"DOCKER_HOST=ssh://admin@host"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "ssh")) << r.err;
  }
}

// --- Against the sandbox engine -------------------------------------------

std::vector<std::string> engine_names(docker::Client& client) {
  std::vector<std::string> names;
  for (const auto& n : client.list_networks()) names.push_back("network " + n.name);
  for (const auto& v : client.list_volumes()) names.push_back("volume " + v.name);
  for (const auto& c : client.list_containers(true)) names.push_back("container " + c.name + " " + c.state);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CliOnEngine, RefusedInputChangesNothing) {
  REQUIRE_SANDBOX();
  auto client = docker::DockerClient::from_environment();
  std::vector<std::string> before = engine_names(*client);
  EXPECT_EQ(2, bootstrap({"scale", "worker", "many"}).status);
  EXPECT_EQ(2, bootstrap({"scale", "nosuch", "3"}).status);
  EXPECT_EQ(2, bootstrap({"install", "--version", "no good"}).status);
  EXPECT_EQ(before, engine_names(*client));
}

TEST(CliOnEngine, DryRunInstallLeavesTheEngineAsItWas) {
  REQUIRE_SANDBOX();
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);
  auto client = docker::DockerClient::from_environment();
  std::vector<std::string> before = engine_names(*client);

  RunResult r = bootstrap({"install", "--dry-run"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(before, engine_names(*client));

  // Each change the installer decides on is described right after its own
  // line, in the order a real run makes it.
  std::vector<std::string> would;
  for (const std::string& line : lines_of(r.out))
    if (line.rfind("would ", 0) == 0 && line.rfind("would run", 0) != 0 &&
        line.rfind("would append", 0) != 0)
      would.push_back(line);
  ASSERT_FALSE(would.empty()) << r.out;
  EXPECT_EQ("would create network lumadex-worker-net", would.front());
  EXPECT_EQ("would start container lumadex-api", would.back());
  std::size_t creates = 0, starts = 0, last_create = 0, first_start = would.size();
  for (std::size_t i = 0; i < would.size(); ++i) {
    if (would[i].rfind("would create container ", 0) == 0) ++creates, last_create = i;
    if (would[i].rfind("would start container ", 0) == 0) {
      ++starts;
      first_start = std::min(first_start, i);
    }
  }
  EXPECT_EQ(13u, creates);
  EXPECT_EQ(13u, starts);
  EXPECT_LT(last_create, first_start);
  std::vector<std::string> out = lines_of(r.out);
  auto at = std::find(out.begin(), out.end(), "starting container lumadex-api");
  ASSERT_NE(out.end(), at);
  ASSERT_NE(out.end(), at + 1);
  EXPECT_EQ("would start container lumadex-api", *(at + 1));
}

// Runs `bootstrap ARGS` with a private copy of the settings file mounted over
// /etc/sysctl.conf, so host preparation runs for real without changing this
// machine's file.
RunResult bootstrap_with_private_sysctl(const std::string& args) {
  char dir_template[] = "/tmp/kestro-sysctl-XXXXXX";
  std::string dir = mkdtemp(dir_template);
  std::string conf = dir + "/sysctl.conf";
  std::ofstream(conf) << "# test copy\nvm.max_map_count=262144\n";
  RunResult r = run_program({"unshare", "-m", "sh", "-c",
                             "mount --bind " + conf + " /etc/sysctl.conf && exec " +
                                 bootstrap_bin() + " " + args});
  std::remove(conf.c_str());
  rmdir(dir.c_str());
  return r;
}

// Holds a TCP port on all addresses for its lifetime.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
  }
  ~PortHolder() { close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

TEST(CliOnEngine, ExitStatusFollowsTheBringUp) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount of /etc/sysctl.conf";
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);

  RunResult ok = bootstrap_with_private_sysctl("install");
  EXPECT_EQ(0, ok.status) << ok.out << ok.err;
  EXPECT_TRUE(contains(ok.out, "starting container lumadex-api")) << ok.out;
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);

  // With the api's host port taken, its container cannot start: the
  // bring-up is reported as failed, on the console and in the status.
  PortHolder port(5000);
  ASSERT_TRUE(port.held()) << "port 5000 is in use on this machine";
  RunResult failed = bootstrap_with_private_sysctl("install");
  EXPECT_EQ(1, failed.status) << failed.out << failed.err;
  std::vector<std::string> lines = lines_of(failed.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("unknown error, please try again!", lines.back()) << failed.out;
  EXPECT_EQ(0, bootstrap({"uninstall"}).status);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Ctrl-C in the middle of a bring-up ends the program at once with 130, and
// the engine is left in a state the next command handles.
TEST(CliOnEngine, CtrlCEndsPromptlyAndLeavesTheEngineUsable) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount of /etc/sysctl.conf";
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);

  char dir_template[] = "/tmp/kestro-interrupt-XXXXXX";
  std::string dir = mkdtemp(dir_template);
  std::string conf = dir + "/sysctl.conf", out = dir + "/out", err = dir + "/err";
  std::ofstream(conf) << "vm.max_map_count=262144\n";
  std::string script = "mount --bind " + conf + " /etc/sysctl.conf && exec " + bootstrap_bin() +
                       " install >" + out + " 2>" + err;
  std::vector<std::string> argv{"unshare", "-m", "sh", "-c", script};
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawnp(&pid, "unshare", nullptr, nullptr, args.data(), environ));

  // Wait until the bring-up is under way, then interrupt it.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (read_file(out).find("installing lumadex-worker-task") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(0, kill(pid, SIGINT));
  auto interrupted_at = std::chrono::steady_clock::now();
  int wstatus = 0;
  ASSERT_EQ(pid, waitpid(pid, &wstatus, 0));
  auto took = std::chrono::steady_clock::now() - interrupted_at;

  ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by a signal instead of exiting";
  EXPECT_EQ(130, WEXITSTATUS(wstatus)) << read_file(out) << read_file(err);
  std::vector<std::string> err_lines = lines_of(read_file(err));
  ASSERT_FALSE(err_lines.empty());
  EXPECT_EQ("interrupted", err_lines.back());
  EXPECT_LT(took, std::chrono::seconds(10)) << "not prompt";
  EXPECT_EQ(std::string::npos, read_file(out).find("starting container")) << read_file(out);

  // What was defined stays defined, and the next commands work from there.
  RunResult again = bootstrap_with_private_sysctl("install");
  EXPECT_EQ(0, again.status) << again.out << again.err;
  EXPECT_EQ(0, bootstrap({"uninstall"}).status);
  for (const std::string& f : {conf, out, err}) std::remove(f.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace bootstrap::testing
