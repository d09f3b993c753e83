// The command line's contract with an operator: exit statuses, one-line
// errors, and bad input refused before anything changes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <fstream>
#include <map>
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

// Changing commands lock and log host-wide; every run of these tests uses a
// folder of its own instead, so none waits for or writes over the machine's.
struct PrivateLockAndLog {
  std::filesystem::path dir;
  PrivateLockAndLog() {
    char dir_template[] = "/tmp/kestro-cli-XXXXXX";
    dir = mkdtemp(dir_template);
    setenv("KESTRO_LOCK_FILE", (dir / "bootstrap.lock").c_str(), 1);
    setenv("KESTRO_LOG_FILE", (dir / "log" / "bootstrap.log").c_str(), 1);
  }
  ~PrivateLockAndLog() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
} private_lock_and_log;

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
  // Values in words, with every default.
  for (const auto& [command, shown] : std::vector<std::pair<std::string, std::string>>{
           {"install", "--settle SECONDS (default 10)"}, {"install", "--lock-timeout SECONDS (default 600)"},
           {"install", "--trust FILE (with --bundle)"}, {"logs", "-n,--tail N (default all)"},
           {"configure", "--dry-run"}, {"preflight", "--json"}}) {
    RunResult r = bootstrap({command, "--help"});
    EXPECT_TRUE(contains(r.out, shown) && !contains(r.out, " in [")) << shown << "\n" << r.out;
  }
  {
    RunResult r = bootstrap({"--version"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "bootstrap ")) << r.out;
  }
}

// Each refused command line gets one error line and one pointer to the help,
// and exits 2 before any engine is contacted: with DOCKER_HOST pointing
// nowhere, contacting it would have exited 1 instead. A command that would
// reach the engine names the cause in one line.
TEST(Cli, EachInputGetsOneErrorLineAndItsStatus) {
  const std::string sock = "/tmp/kestro-test-nowhere.sock";
  const std::string services =
      "beater, worker-shortops, worker-task, worker-trigger, worker, worker-ocr, streaming, "
      "coordinator, es1, es2, queue, cache, api";
  const std::string tag_rule =
      "is not an image tag (letters, digits, \"_\", \".\" and \"-\", not starting with \".\" "
      "or \"-\", at most 128 characters)";
  const std::string no_socket = "cannot reach the Docker engine at unix://" + sock +
                                ": no engine socket at " + sock +
                                ": is Docker installed and running? (systemctl status docker)";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> err;
  };
  const std::vector<Case> cases = {
      {{}, 2, {}},
      {{"instal"}, 2, {"error: unknown command \"instal\"; did you mean \"install\"?",
                      "see 'bootstrap --help'"}},
      {{"frobnicate"}, 2, {"error: unknown command \"frobnicate\"", "see 'bootstrap --help'"}},
      {{"--hlep"}, 2, {"error: unknown option \"--hlep\"; did you mean \"--help\"?",
                      "see 'bootstrap --help'"}},
      {{"scale", "worker"}, 2, {"error: scale: COUNT is required", "see 'bootstrap scale --help'"}},
      {{"scale", "worker", "x"}, 2,
       {"error: scale: COUNT: \"x\" is not a whole number from 0 to 1000",
        "see 'bootstrap scale --help'"}},
      {{"scale", "worker", "2.5"}, 2,
       {"error: scale: COUNT: \"2.5\" is not a whole number from 0 to 1000",
        "see 'bootstrap scale --help'"}},
      {{"scale", "worker", "100000"}, 2,
       {"error: scale: COUNT: \"100000\" is not a whole number from 0 to 1000",
        "see 'bootstrap scale --help'"}},
      {{"scale", "worker", "2", "3"}, 2,
       {"error: scale: unexpected argument \"3\"", "see 'bootstrap scale --help'"}},
      {{"scale", "--dryrun", "worker", "2"}, 2,
       {"error: scale: unknown option \"--dryrun\"; did you mean \"--dry-run\"?",
        "see 'bootstrap scale --help'"}},
      {{"logs", "lumadex-apii"}, 2,
       {"error: logs: SERVICE: \"lumadex-apii\" is not one of the product's services; did you "
        "mean \"lumadex-api\"?",
        "see 'bootstrap logs --help'"}},
      {{"logs", "lumadex-api", "-n", "3"}, 1, {"error: logs: " + no_socket}},
      {{"scale", "lumadex-worker", "2"}, 1, {"error: scale: " + no_socket}},
      {{"scale", "nosuch", "2"}, 2,
       {"error: scale: SERVICE: \"nosuch\" is not one of the product's services: " + services,
        "see 'bootstrap scale --help'"}},
      {{"scale", "workr", "2"}, 2,
       {"error: scale: SERVICE: \"workr\" is not one of the product's services; did you mean "
        "\"worker\"?",
        "see 'bootstrap scale --help'"}},
      {{"install", "--version"}, 2,
       {"error: install: --version needs a value", "see 'bootstrap install --help'"}},
      {{"install", "--version", ""}, 2,
       {"error: install: --version: \"\" " + tag_rule, "see 'bootstrap install --help'"}},
      {{"install", "--version", "bad tag"}, 2,
       {"error: install: --version: \"bad tag\" " + tag_rule, "see 'bootstrap install --help'"}},
      {{"install", "--version", ".hidden"}, 2,
       {"error: install: --version: \".hidden\" " + tag_rule, "see 'bootstrap install --help'"}},
      {{"install", "--version", std::string(129, 'a')}, 2,
       {"error: install: --version: \"" + std::string(129, 'a') + "\" " + tag_rule,
        "see 'bootstrap install --help'"}},
      {{"status", "--jsn"}, 2,
       {"error: status: unknown option \"--jsn\"; did you mean \"--json\"?",
        "see 'bootstrap status --help'"}},
      {{"uninstall", "--jobs", "17"}, 2,
       {"error: uninstall: --jobs: Value 17 not in range 1 to 16",
        "see 'bootstrap uninstall --help'"}},
      {{"export", "--cpus", "0"}, 2,
       {"error: export: --cpus: Value 0 not in range 1 to 4096", "see 'bootstrap export --help'"}},
      // Past the command line: the engine is not there.
      {{"scale", "worker", "2"}, 1, {"error: scale: " + no_socket}},
      {{"uninstall"}, 1, {"error: uninstall: " + no_socket}},
      {{"status"}, 1, {"error: status: negotiate the API version: " + no_socket}},
  };
  for (const Case& c : cases) {
    RunResult r = bootstrap(c.args, {"DOCKER_HOST=unix://" + sock});
    std::string shown = c.args.empty() ? "(no arguments)" : c.args.front();
    for (std::size_t i = 1; i < c.args.size(); ++i) shown += " " + c.args[i];
    EXPECT_EQ(c.status, r.status) << shown << "\nstdout: " << r.out << "\nstderr: " << r.err;
    EXPECT_EQ(c.err, lines_of(r.err)) << shown;
  }
  // Alone, the program shows what it can do, as --help does, but exits 2.
  RunResult alone = bootstrap({});
  EXPECT_EQ(bootstrap({"--help"}).out, alone.out);
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

// Runs `bootstrap ARGS` as the unprivileged user nobody, without groups.
RunResult bootstrap_as_nobody(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                "--clear-groups", bootstrap_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, {"HOME=/tmp"});
}

// An operator who is neither root nor allowed on the engine's socket is told
// so in one line before anything happens, whichever command they try.
TEST(CliOnEngine, UnprivilegedUserIsToldWhatIsMissing) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  if (bootstrap_as_nobody({"--version"}).status != 0)
    GTEST_SKIP() << "user nobody cannot run " << bootstrap_bin()
                 << " (a folder or library on the way is not readable by others)";
  const char* docker_host = std::getenv("DOCKER_HOST");
  ASSERT_NE(nullptr, docker_host);
  const std::string host = docker_host;
  ASSERT_EQ(0u, host.rfind("unix://", 0)) << host;
  const std::string sock = host.substr(7);
  const std::vector<std::string> as_nobody{"/usr/bin/setpriv", "--reuid=65534",
                                           "--regid=65534", "--clear-groups"};
  std::vector<std::string> may_write = as_nobody;
  may_write.insert(may_write.end(), {"/usr/bin/test", "-w", sock});
  if (run_program(may_write).status == 0) GTEST_SKIP() << "nobody may use " << sock;
  // The group is named when nobody may look at the socket's owner.
  std::vector<std::string> stat_group = as_nobody;
  stat_group.insert(stat_group.end(), {"/usr/bin/stat", "-c", "%G", sock});
  RunResult group = run_program(stat_group);
  if (group.status == 0 && lines_of(group.out) == std::vector<std::string>{"nogroup"})
    GTEST_SKIP() << sock << " belongs to nobody's own group";
  std::string owner = group.status == 0 ? " (" + lines_of(group.out).front() + ")" : "";
  const std::string denied = "cannot reach the Docker engine at " + host +
                             ": permission denied: run as root, or as a member of the group "
                             "that owns " + sock + owner;

  auto client = docker::DockerClient::from_environment();
  std::vector<std::string> before = engine_names(*client);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> err;
  };
  const std::string root =
      "needs root: it runs the package manager and writes /etc/sysctl.conf (try: sudo)";
  const std::vector<Case> cases = {
      {{"install"}, {"error: install: " + root}},
      {{"update"}, {"error: update: " + root}},
      {{"configure"}, {"error: configure: " + root}},
      {{"scale", "worker", "2"}, {"error: scale: " + denied}},
      {{"uninstall"}, {"error: uninstall: " + denied}},
      {{"uninstall", "--dry-run"}, {"error: uninstall: negotiate the API version: " + denied}},
      {{"status"}, {"error: status: negotiate the API version: " + denied}},
  };
  for (const Case& c : cases) {
    RunResult r = bootstrap_as_nobody(c.args);
    EXPECT_EQ(1, r.status) << c.args.front() << ": " << r.out << r.err;
    EXPECT_EQ(c.err, lines_of(r.err)) << c.args.front();
  }
  RunResult preflight = bootstrap_as_nobody({"preflight"});
  EXPECT_EQ(1, preflight.status);
  std::vector<std::string> out = lines_of(preflight.out);
  EXPECT_NE(out.end(), std::find(out.begin(), out.end(),
                                 "fail  privileges        not root: install, update and configure "
                                 "need root for the package manager and /etc/sysctl.conf; scale "
                                 "and uninstall " + denied))
      << preflight.out;
  // The engine runs; this account is only kept off its socket.
  EXPECT_TRUE(contains(preflight.out, "usermod -aG") && !contains(preflight.out, "start Docker"))
      << preflight.out;
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
        line.rfind("would append", 0) != 0 && line.find("vm.max_map_count") == std::string::npos)
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

  // It ends with the count of the changes themselves, not of the lines that
  // announce some of them.
  std::size_t changes = 0;
  for (const std::string& line : out)
    if (line.rfind("would ", 0) == 0 && line.rfind("would apply", 0) != 0 &&
        line.rfind("would make persistent", 0) != 0 && line.rfind("would check", 0) != 0)
      ++changes;
  EXPECT_EQ(std::to_string(changes) + " changes would be made", out.back());
}

// Runs `bootstrap ARGS` with a private copy of the settings file mounted over
// /etc/sysctl.conf, so host preparation runs for real without changing this
// machine's file.
RunResult bootstrap_with_private_sysctl(const std::string& args,
                                        const std::vector<std::string>& env = {}) {
  char dir_template[] = "/tmp/kestro-sysctl-XXXXXX";
  std::string dir = mkdtemp(dir_template);
  std::string conf = dir + "/sysctl.conf";
  std::ofstream(conf) << "# test copy\nvm.max_map_count=262144\n";
  RunResult r = run_program({"unshare", "-m", "sh", "-c",
                             "mount --bind " + conf + " /etc/sysctl.conf && exec " +
                                 bootstrap_bin() + " " + args},
                            env);
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

TEST(CliOnEngine, AFailedBringUpExits1) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount of /etc/sysctl.conf";
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);

  // With the api's host port taken, its container cannot start: the
  // bring-up is reported as failed, on the console and in the status (a
  // bring-up that works exits 0, as the tests below show).
  PortHolder port(5000);
  ASSERT_TRUE(port.held()) << "port 5000 is in use on this machine";
  RunResult failed = bootstrap_with_private_sysctl("install");
  EXPECT_EQ(1, failed.status) << failed.out << failed.err;
  std::vector<std::string> lines = lines_of(failed.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("unknown error, please try again!", lines.back()) << failed.out;
  // Standard error has the one-line reason, naming the container (on a host
  // without sudo, the shell's own complaint about raising the kernel setting
  // comes before it).
  std::vector<std::string> err_lines;
  for (const std::string& line : lines_of(failed.err))
    if (line.rfind("error: ", 0) == 0) err_lines.push_back(line);
  ASSERT_EQ(1u, err_lines.size()) << failed.err;
  EXPECT_EQ(0u, err_lines.front().rfind("error: install: start container lumadex-api: ", 0))
      << failed.err;
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
  // 4 networks, 8 volumes, 13 containers defined and 13 started: the
  // networks, volumes and the first services' definitions were done.
  std::vector<std::string> err_lines = lines_of(read_file(err));
  ASSERT_EQ(2u, err_lines.size()) << read_file(err);
  std::smatch steps;
  ASSERT_TRUE(std::regex_match(err_lines[0], steps,
                               std::regex("error: install: interrupted after ([0-9]+) of 38 steps; the "
                                          "product is partly up: run 'bootstrap install' to finish")))
      << err_lines[0];
  EXPECT_GE(std::stoi(steps[1]), 14);
  EXPECT_LT(std::stoi(steps[1]), 26);
  EXPECT_EQ("details: " + std::string(getenv("KESTRO_LOG_FILE")), err_lines[1]);
  EXPECT_LT(took, std::chrono::seconds(10)) << "not prompt";
  EXPECT_EQ(std::string::npos, read_file(out).find("starting container")) << read_file(out);

  // What was defined stays defined, and the next commands work from there.
  RunResult again = bootstrap_with_private_sysctl("install --settle 0");
  EXPECT_EQ(0, again.status) << again.out << again.err;
  std::vector<std::string> again_lines = lines_of(again.out);
  ASSERT_FALSE(again_lines.empty());
  EXPECT_TRUE(std::regex_match(again_lines.back(),
                               std::regex("lumadex is up: 13 of 13 running; [0-9]+ created, [0-9]+ "
                                          "started \\([0-9.]+ s\\)")))
      << again_lines.back();
  EXPECT_EQ(0, bootstrap({"uninstall"}).status);
  for (const std::string& f : {conf, out, err}) std::remove(f.c_str());
  rmdir(dir.c_str());
}

// The host lock, held by the test while it lives: changing commands wait.
struct HeldLock {
  int fd = open(getenv("KESTRO_LOCK_FILE"), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  HeldLock() { EXPECT_TRUE(flock(fd, LOCK_EX) == 0 && write(fd, "the test\n", 9) == 9); }
  ~HeldLock() { close(fd); }
};

// SIGTERM and SIGHUP end a wait for the lock as Ctrl-C does: the exit status
// and the log's exit record say which.
TEST(Cli, TermAndHangUpEndAnOperationWithTheirStatus) {
  if (geteuid() != 0) GTEST_SKIP() << "configure needs root";
  HeldLock held;
  const std::string dir = private_lock_and_log.dir.string(), out = dir + "/signal.out";
  for (const auto& [signal, status, name] : {std::tuple{SIGTERM, 143, "SIGTERM"}, {SIGHUP, 129, "SIGHUP"}}) {
    std::remove(out.c_str());
    std::vector<std::string> argv{"sh", "-c", "exec " + bootstrap_bin() + " configure >" + out + " 2>&1"};
    std::vector<char*> args{argv[0].data(), argv[1].data(), argv[2].data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawnp(&pid, "sh", nullptr, nullptr, args.data(), environ));
    for (int i = 0; i < 500 && read_file(out).find("waiting for the test") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int wstatus = 0;
    ASSERT_TRUE(kill(pid, signal) == 0 && waitpid(pid, &wstatus, 0) == pid);
    ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(status, WEXITSTATUS(wstatus)) << read_file(out);
    const std::vector<std::string> said = lines_of(read_file(out));
    ASSERT_LE(2u, said.size());
    EXPECT_EQ(std::string("error: configure: interrupted by ") + name, said[said.size() - 2]);
    EXPECT_EQ("details: " + dir + "/log/bootstrap.log", said.back());
    EXPECT_TRUE(lines_of(read_file(dir + "/log/bootstrap.log")).back().ends_with(
        " exit status " + std::to_string(status)));
  }
}

// bundle create fetches into the engine, so it waits for the lock and leaves
// a record; bundle inspect only reads, and does neither.
TEST(Cli, BundleCreateTakesTheLockAndInspectDoesNot) {
  HeldLock held;
  const std::string dir = private_lock_and_log.dir.string();
  RunResult create = bootstrap({"bundle", "create", "--lock-timeout", "0", "-o", dir + "/b.bundle"});
  EXPECT_EQ(1, create.status);
  EXPECT_TRUE(contains(create.err, "gave up after 0 s waiting for the test to finish")) << create.err;
  std::vector<std::string> record = lines_of(read_file(dir + "/log/bootstrap.log"));
  ASSERT_FALSE(record.empty());
  // The log is shared with the other tests here: this run's record is the last.
  const auto start = std::find_if(record.rbegin(), record.rend(), [](const std::string& line) {
    return contains(line, " start bootstrap ");
  });
  ASSERT_NE(record.rend(), start);
  EXPECT_TRUE(contains(*start, "bundle create --lock-timeout 0")) << *start;
  EXPECT_TRUE(record.back().ends_with(" exit status 1")) << record.back();

  RunResult inspect = bootstrap({"bundle", "inspect", dir + "/missing.bundle"});
  EXPECT_EQ(1, inspect.status);
  EXPECT_FALSE(contains(inspect.out + inspect.err, "waiting for")) << inspect.out << inspect.err;
  EXPECT_EQ(record.size(), lines_of(read_file(dir + "/log/bootstrap.log")).size());
}

// A command that gives up on the lock still logs, and a newline in an argument
// cannot forge a line. A log folder of nobody's with a link it planted, then
// the link left in a folder of root's: one warning, the linked file untouched.
TEST(Cli, TheOperationLogIsNeitherForgedNorLedAstray) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
  HeldLock held;
  const std::string dir = private_lock_and_log.dir.string(), log = dir + "/forged/bootstrap.log";
  std::vector<std::string> args{"install", "--lock-timeout", "0", "--bundle",
                                "x\n2026-12-09T00:00:00.000Z exit status 0"};
  EXPECT_EQ(1, bootstrap(args, {"KESTRO_LOG_FILE=" + log}).status);
  std::vector<std::string> record = lines_of(read_file(log));
  // start, waiting, the error, where the details are, exit
  ASSERT_EQ(5u, record.size()) << read_file(log);
  EXPECT_TRUE(record[3].ends_with(" err details: " + log)) << record[3];
  EXPECT_NE(std::string::npos, record.front().find("'x\\n2026-12-09T00:00:00.000Z exit status 0'"));

  const std::string folder = dir + "/nobodys", victim = dir + "/victim";
  std::ofstream(victim) << "root's data\n";
  ASSERT_EQ(0, chmod(dir.c_str(), 0755));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, chown(folder.c_str(), 65534, 65534));
  ASSERT_EQ(0, run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "/bin/ln", "-s", victim, folder + "/bootstrap.log"}).status);
  for (const std::string why : {": it belongs to uid 65534, not to root;",
                                ": it is a symbolic link, which is not followed;"}) {
    args.back() = "b";
    RunResult r = bootstrap(args, {"KESTRO_LOG_FILE=" + folder + "/bootstrap.log"});
    const std::size_t at = r.err.find("warning: cannot ");  // one warning, saying why
    EXPECT_TRUE(at != std::string::npos && r.err.find(why, at) < r.err.find('\n', at) &&
                r.err.rfind("warning:") == at) << r.err;
    ASSERT_EQ(0, chown(folder.c_str(), 0, 0));
  }
  EXPECT_EQ("root's data\n", read_file(victim));
}

// `bootstrap install` started in the background with a private settings
// file, its output going to files in `dir`.
struct BackgroundInstall {
  pid_t pid = 0;
  std::string out, err;

  BackgroundInstall(const std::string& dir, const std::string& name) {
    std::string conf = dir + "/sysctl.conf";
    std::ofstream(conf) << "vm.max_map_count=262144\n";
    out = dir + "/" + name + ".out";
    err = dir + "/" + name + ".err";
    std::vector<std::string> argv{"unshare", "-m", "sh", "-c",
                                  "mount --bind " + conf + " /etc/sysctl.conf && exec " +
                                      bootstrap_bin() + " install >" + out + " 2>" + err};
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    EXPECT_EQ(0, posix_spawnp(&pid, "unshare", nullptr, nullptr, args.data(), environ));
  }
  int wait() {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return -1;
    return WEXITSTATUS(wstatus);
  }
};

// Two installs at the same moment on an empty engine: the second waits for
// the first, saying so, then finds the product in place.
TEST(CliOnEngine, ConcurrentInstallsRunOneAtATime) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount of /etc/sysctl.conf";
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);
  char dir_template[] = "/tmp/kestro-concurrent-XXXXXX";
  std::string dir = mkdtemp(dir_template);

  BackgroundInstall a(dir, "a"), b(dir, "b");
  int a_status = a.wait(), b_status = b.wait();
  EXPECT_EQ(0, a_status) << read_file(a.out) << read_file(a.err);
  EXPECT_EQ(0, b_status) << read_file(b.out) << read_file(b.err);
  auto waited_for = [](const BackgroundInstall& waiter, const BackgroundInstall& holder) {
    std::vector<std::string> lines = lines_of(read_file(waiter.out));
    return !lines.empty() && lines.front() == "waiting for bootstrap install (pid " +
                                                  std::to_string(holder.pid) + ") to finish";
  };
  EXPECT_NE(waited_for(a, b), waited_for(b, a))
      << "a:\n" << read_file(a.out) << "b:\n" << read_file(b.out);

  std::map<std::string, int> networks;
  for (const docker::NetworkRef& n : docker::DockerClient::from_environment()->list_networks())
    if (n.name.rfind("lumadex-", 0) == 0) ++networks[n.name];
  EXPECT_FALSE(networks.empty());
  for (const auto& [name, count] : networks) EXPECT_EQ(1, count) << name;

  EXPECT_EQ(0, bootstrap({"uninstall"}).status);
  std::filesystem::remove_all(dir);
}

// The record an install and a refused scale leave, across a rotation, and
// the rotation keeping three old files.
TEST(CliOnEngine, OperationLogRecordsEachChangingCommand) {
  REQUIRE_SANDBOX();
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount of /etc/sysctl.conf";
  ASSERT_EQ(0, bootstrap({"uninstall"}).status);
  char dir_template[] = "/tmp/kestro-oplog-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string log = dir + "/kestro/bootstrap.log";
  const std::string log_env = "KESTRO_LOG_FILE=" + log;

  // One request at a time, so that each line we print comes just before
  // the request it announces (with more, a line waits for the lines before
  // it while its request is already answered).
  RunResult installed = bootstrap_with_private_sysctl("install --jobs 1", {log_env});
  ASSERT_EQ(0, installed.status) << installed.out << installed.err;
  struct stat folder {}, file {};
  ASSERT_EQ(0, stat((dir + "/kestro").c_str(), &folder));
  ASSERT_EQ(0, stat(log.c_str(), &file));
  EXPECT_EQ(0750u, folder.st_mode & 0777);
  EXPECT_EQ(0640u, file.st_mode & 0777);

  // The api publishes a host port, which one container alone can hold: a
  // second is refused. The limit puts this record past the rotation point.
  const std::uintmax_t limit = std::filesystem::file_size(log) + 400;
  RunResult refused = bootstrap(
      {"scale", "api", "2"}, {log_env, "KESTRO_LOG_ROTATE_BYTES=" + std::to_string(limit)});
  EXPECT_EQ(1, refused.status) << refused.out << refused.err;
  EXPECT_LE(std::filesystem::file_size(log + ".1"), limit);
  EXPECT_LE(std::filesystem::file_size(log), limit);

  std::vector<std::string> record = lines_of(read_file(log + ".1") + read_file(log));
  const std::regex line_form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (start|out|err|engine|exit) .*)");
  for (const std::string& line : record) EXPECT_TRUE(std::regex_match(line, line_form)) << line;
  const std::vector<std::string> in_order{
      R"(.* start bootstrap .* \(commit .*\): \S*/bootstrap install --jobs 1 \(user root.*, pid \d+\))",
      R"(.* out installing lumadex)",
      R"(.* engine GET /v1\.\d+/networks 200 \d+ ms)",
      R"(.* out starting container lumadex-api)",
      R"(.* engine POST /v1\.\d+/containers/lumadex-api/start 204 \d+ ms)",
      R"(.* exit status 0)",
      R"(.* start bootstrap .*/bootstrap scale api 2 \(user root.*)",
      R"(.* err error: scale: api publishes host port 5000, .*)",
      R"(.* err details: )" + log,
      R"(.* exit status 1)",
  };
  auto at = record.begin();
  for (const std::string& pattern : in_order) {
    at = std::find_if(at, record.end(),
                      [&](const std::string& line) { return std::regex_match(line, std::regex(pattern)); });
    ASSERT_NE(record.end(), at) << "no line " << pattern << " in its place in\n"
                                << read_file(log + ".1") << read_file(log);
    ++at;
  }

  // A small limit rotates at almost every line; three old files stay.
  RunResult back = bootstrap({"scale", "api", "1"}, {log_env, "KESTRO_LOG_ROTATE_BYTES=200"});
  EXPECT_EQ(0, back.status) << back.out << back.err;
  for (const char* kept : {".1", ".2", ".3"}) EXPECT_TRUE(std::filesystem::exists(log + kept)) << kept;
  EXPECT_FALSE(std::filesystem::exists(log + ".4"));
  std::vector<std::string> last = lines_of(read_file(log));
  ASSERT_FALSE(last.empty());
  EXPECT_NE(std::string::npos, last.back().find(" exit status 0")) << last.back();

  EXPECT_EQ(0, bootstrap({"uninstall"}).status);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bootstrap::testing
