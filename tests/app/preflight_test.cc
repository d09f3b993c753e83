// `bootstrap preflight`: every branch of every check on fakes, the gathering
// (order, what is asked of the engine, what happens without one), the real
// probes of this machine, and the findings on this machine with the sandbox
// engine.
#include "bootstrap/app/preflight.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "fakes/fake_host.h"
#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/fake_engine.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using survey::CheckResult;
using survey::Level;
using survey::PortProbe;
using installer::ServiceDescription;
using installer::ServiceList;
using installer::lumadex::LumadexInstaller;
using nlohmann::json;

const ServiceList& catalogue() { return LumadexInstaller::lumadex_services; }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The fake engine with the answers preflight reads set by the test: the API
// in use, the engine's version, memory and data root.
class AnsweringEngine : public FakeEngine {
 public:
  std::string api_version() override {
    FakeEngine::api_version();
    return api_in_use_;
  }
  docker::EngineVersion version() override {
    FakeEngine::version();
    return version_;
  }
  docker::EngineInfo info() override {
    docker::EngineInfo i = FakeEngine::info();
    i.mem_total = mem_total_;
    i.docker_root_dir = root_dir_;
    return i;
  }
  std::string api_in_use_ = "1.41";
  docker::EngineVersion version_{"20.10.24", "1.41"};
  std::int64_t mem_total_ = 8 * survey::kGiB;
  std::string root_dir_ = "/var/lib/docker";
};

// Host probes that answer from fields and record what they were asked.
struct FakeProbes {
  survey::HostProbes probes() {
    return {[this](int port) {
              ports_probed.push_back(port);
              return port_answer;
            },
            [this] { return memlock; },
            [this](const std::string& path) {
              paths_probed.push_back(path);
              return disk;
            }};
  }

  PortProbe port_answer{PortProbe::State::free, ""};
  survey::MemlockLimit memlock{true, 0, false};
  std::optional<survey::DiskSpace> disk = survey::DiskSpace{50 * survey::kGiB, 100 * survey::kGiB};
  std::vector<int> ports_probed;
  std::vector<std::string> paths_probed;
};

const CheckResult& find(const std::vector<CheckResult>& results, const std::string& name) {
  for (const CheckResult& r : results)
    if (r.name == name) return r;
  throw std::out_of_range("no check named " + name);
}

// --- Each check ------------------------------------------------------------------

TEST(PreflightChecks, Engine) {
  {
    AnsweringEngine engine;
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::pass, r.level) << r.reason;
    EXPECT_TRUE(contains(r.reason, "20.10.24") && contains(r.reason, "API 1.41")) << r.reason;
  }
  {
    AnsweringEngine engine;  // an engine older than 20.10
    engine.version_ = {"19.03.15", "1.40"};
    engine.api_in_use_ = "1.40";
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.reason, "19.03.15") && contains(r.reason, "1.40")) << r.reason;
    EXPECT_TRUE(contains(r.advice, "20.10")) << r.advice;
  }
  {
    AnsweringEngine engine;  // a new engine, but an old API pinned
    engine.version_ = {"24.0.7", "1.43"};
    engine.api_in_use_ = "1.40";
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.advice, "DOCKER_API_VERSION")) << r.advice;
  }
  {
    AnsweringEngine engine;  // 1.100 is newer than 1.41, not older
    engine.version_ = {"99.0", "1.100"};
    EXPECT_EQ(Level::pass, survey::check_engine(engine).level);
  }
  {
    AnsweringEngine engine;  // an answer the client cannot read
    engine.fail_next("version", docker::EngineError("engine version: the engine's answer is not JSON: <html>"));
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.reason, "not JSON")) << r.reason;
  }
  {
    AnsweringEngine engine;  // an engine that names neither
    engine.version_ = {};
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.reason, "Docker ? speaks API ?")) << r.reason;
  }
  {
    AnsweringEngine engine;
    engine.fail_next("api version", docker::ConnectionError("negotiate the API version",
                                                            "unix:///var/run/docker.sock",
                                                            "No such file or directory"));
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.reason, "does not answer") && contains(r.reason, "docker.sock"))
        << r.reason;
  }
  {  // kept off the socket: the engine may run, so not "start Docker"
    AnsweringEngine engine;
    engine.fail_next("api version",
                     docker::ConnectionError("negotiate the API version", "unix:///var/run/docker.sock",
                                             "permission denied: run as root, or as a member of "
                                             "the group that owns /var/run/docker.sock (docker)"));
    CheckResult r = survey::check_engine(engine);
    EXPECT_TRUE(contains(r.advice, "usermod -aG") && !contains(r.advice, "start Docker"))
        << r.advice;
  }
  {
    AnsweringEngine engine;
    engine.fail_next("version", docker::ApiError("engine version", 400,
                                                 "client version 1.47 is too new"));
    CheckResult r = survey::check_engine(engine);
    EXPECT_EQ(Level::fail, r.level);
    EXPECT_TRUE(contains(r.reason, "too new")) << r.reason;
  }
}

TEST(PreflightChecks, CpuSetsOnMachinesOfEachSize) {
  {
    CheckResult r = survey::check_cpus(2, catalogue());
    EXPECT_EQ(Level::warn, r.level);
    EXPECT_TRUE(starts_with(r.reason, "2 logical CPUs;")) << r.reason;
    EXPECT_TRUE(contains(r.reason, "0-3 becomes 0-1 for beater, worker-shortops, worker-trigger, "
                                   "streaming, coordinator, es1, es2, queue, cache, api"))
        << r.reason;
    EXPECT_TRUE(contains(r.reason, "4-x becomes 0-1 for worker-task, worker, worker-ocr"))
        << r.reason;
    EXPECT_TRUE(contains(r.advice, "5 or more CPUs")) << r.advice;
  }
  {
    // Four CPUs hold 0-3; 4-x has nothing left and spreads over all four.
    CheckResult r = survey::check_cpus(4, catalogue());
    EXPECT_EQ(Level::warn, r.level);
    EXPECT_FALSE(contains(r.reason, "0-3 becomes")) << r.reason;
    EXPECT_TRUE(contains(r.reason, "4-x becomes 0-3 for worker-task, worker, worker-ocr"))
        << r.reason;
  }
  {
    CheckResult r = survey::check_cpus(1, catalogue());
    EXPECT_TRUE(starts_with(r.reason, "1 logical CPU;")) << r.reason;
    EXPECT_TRUE(contains(r.reason, "0-3 becomes 0 for")) << r.reason;
  }
  {
    CheckResult r = survey::check_cpus(5, catalogue());
    EXPECT_EQ(Level::pass, r.level) << r.reason;
    EXPECT_TRUE(contains(r.reason, "(0-3, 4-4)")) << r.reason;
  }
  EXPECT_EQ(Level::pass, survey::check_cpus(16, catalogue()).level);
  EXPECT_EQ(Level::warn, survey::check_cpus(0, catalogue()).level);
}

TEST(PreflightChecks, MemoryAndDiskThresholds) {
  EXPECT_EQ(Level::fail, survey::check_memory(2 * survey::kGiB - 1).level);
  EXPECT_EQ(Level::warn, survey::check_memory(2 * survey::kGiB).level);
  EXPECT_EQ(Level::warn, survey::check_memory(4 * survey::kGiB - 1).level);
  EXPECT_EQ(Level::pass, survey::check_memory(4 * survey::kGiB).level);
  EXPECT_EQ(Level::fail, survey::check_memory(0).level);
  EXPECT_TRUE(starts_with(survey::check_memory(3 * survey::kGiB).reason, "3 GiB of memory"));
  EXPECT_TRUE(starts_with(survey::check_memory(1536 * survey::kMiB).reason, "1.5 GiB of memory"));

  auto disk = [](std::int64_t available) {
    return survey::check_disk("/var/lib/docker",
                           survey::DiskSpace{static_cast<std::uint64_t>(available), 100 * survey::kGiB});
  };
  EXPECT_EQ(Level::fail, disk(3 * survey::kGiB - 1).level);
  EXPECT_EQ(Level::warn, disk(3 * survey::kGiB).level);
  EXPECT_EQ(Level::warn, disk(10 * survey::kGiB - 1).level);
  CheckResult plenty = disk(40 * survey::kGiB);
  EXPECT_EQ(Level::pass, plenty.level);
  EXPECT_EQ("40 GiB free of 100 GiB under /var/lib/docker", plenty.reason);

  CheckResult unseen = survey::check_disk("/srv/docker", std::nullopt);
  EXPECT_EQ(Level::warn, unseen.level);
  EXPECT_TRUE(starts_with(unseen.reason, "cannot see the engine's data root /srv/docker"))
      << unseen.reason;
}

TEST(PreflightChecks, KernelAndMemlock) {
  EXPECT_EQ(Level::pass, survey::check_max_map_count(installer::kMaxMapCountThreshold).level);
  CheckResult low = survey::check_max_map_count(65530);
  EXPECT_EQ(Level::warn, low.level);
  EXPECT_TRUE(contains(low.reason, "65530") && contains(low.reason, "262144")) << low.reason;
  EXPECT_TRUE(contains(low.advice, "bootstrap install")) << low.advice;
  CheckResult unreadable = survey::check_max_map_count(0);
  EXPECT_EQ(Level::warn, unreadable.level);
  EXPECT_TRUE(contains(unreadable.reason, "cannot read")) << unreadable.reason;

  EXPECT_EQ(Level::pass, survey::check_memlock({true, 0, false}).level);
  CheckResult raisable = survey::check_memlock({false, 64 * 1024, true});
  EXPECT_EQ(Level::pass, raisable.level);
  EXPECT_TRUE(contains(raisable.reason, "CAP_SYS_RESOURCE")) << raisable.reason;
  CheckResult capped = survey::check_memlock({false, 8 * 1024 * 1024, false});
  EXPECT_EQ(Level::warn, capped.level);
  EXPECT_TRUE(contains(capped.reason, "8 MiB (8388608 bytes)")) << capped.reason;
  EXPECT_FALSE(capped.advice.empty());
}

TEST(PreflightChecks, Port) {
  const PortProbe free{PortProbe::State::free, ""};
  const PortProbe taken{PortProbe::State::in_use, "bind: Address already in use"};
  const PortProbe odd{PortProbe::State::unknown, "socket: Too many open files"};
  EXPECT_EQ(Level::pass, survey::check_port(5000, "lumadex-api", free, std::nullopt).level);
  CheckResult ours = survey::check_port(5000, "lumadex-api", taken, true);
  EXPECT_EQ(Level::pass, ours.level);
  EXPECT_EQ("held by lumadex-api", ours.reason);
  CheckResult theirs = survey::check_port(5000, "lumadex-api", taken, false);
  EXPECT_EQ("port 5000", theirs.name);
  EXPECT_EQ(Level::fail, theirs.level);
  EXPECT_TRUE(contains(theirs.advice, "sport = :5000")) << theirs.advice;
  CheckResult unasked = survey::check_port(5000, "lumadex-api", taken, std::nullopt);
  EXPECT_EQ(Level::fail, unasked.level);
  EXPECT_TRUE(contains(unasked.reason, "could not be asked")) << unasked.reason;
  CheckResult blind = survey::check_port(5000, "lumadex-api", taken, std::nullopt, false);
  EXPECT_EQ(Level::warn, blind.level);
  EXPECT_FALSE(contains(blind.advice, "stop what listens")) << blind.advice;
  CheckResult unknown = survey::check_port(5000, "lumadex-api", odd, std::nullopt);
  EXPECT_EQ(Level::warn, unknown.level);
  EXPECT_TRUE(contains(unknown.reason, "Too many open files")) << unknown.reason;
}

TEST(PreflightChecks, Images) {
  AnsweringEngine engine;
  for (const ServiceDescription& s : catalogue()) engine.add_image(s.image);
  CheckResult all = survey::check_images(engine, catalogue());
  EXPECT_EQ(Level::pass, all.level) << all.reason;
  EXPECT_EQ("all 5 images present", all.reason);
  // One lookup per distinct image, the application image once.
  EXPECT_EQ(5, std::count_if(engine.requests_.begin(), engine.requests_.end(),
                             [](const std::string& r) { return starts_with(r, "get image "); }));

  engine.images_.erase("elasticsearch:7.12.1");
  engine.images_.erase("lmdx2/app:latest");
  CheckResult some = survey::check_images(engine, catalogue());
  EXPECT_EQ(Level::warn, some.level);
  EXPECT_EQ("2 of 5 images missing: lmdx2/app, elasticsearch:7.12.1", some.reason);
  EXPECT_TRUE(contains(some.advice, "pulls")) << some.advice;
}

// --- Gathering -------------------------------------------------------------------

std::vector<std::string> names(const std::vector<CheckResult>& results) {
  std::vector<std::string> out;
  for (const CheckResult& r : results) out.push_back(r.name);
  return out;
}

const std::vector<std::string> kOrder = {"engine", "cpus", "memory", "disk", "vm.max_map_count",
                                         "memlock", "port 5000", "images"};

TEST(Preflight, EveryCheckInOrderAskingOnlyQuestions) {
  AnsweringEngine engine;
  for (const ServiceDescription& s : catalogue()) engine.add_image(s.image);
  FakeHost fake_host;
  FakeProbes probes;
  survey::PreflightFacts facts{engine, fake_host.host, probes.probes(), true};
  std::vector<CheckResult> results = survey::run_preflight(facts, "lumadex", catalogue());

  EXPECT_EQ(kOrder, names(results));
  EXPECT_FALSE(survey::any_failed(results));
  EXPECT_EQ(Level::warn, find(results, "cpus").level) << "the fake engine has 4 CPUs";
  EXPECT_EQ(Level::pass, find(results, "memory").level);
  EXPECT_EQ((std::vector<std::string>{"/var/lib/docker"}), probes.paths_probed);
  EXPECT_EQ((std::vector<int>{5000}), probes.ports_probed);
  EXPECT_EQ((std::vector<std::string>{"sysctl vm.max_map_count"}), fake_host.process.commands_ran_);
  EXPECT_TRUE(fake_host.shell.commands_ran_.empty());
  // Info is asked once; nothing but questions reach the engine.
  EXPECT_EQ(1, std::count(engine.requests_.begin(), engine.requests_.end(), "info"));
  for (const std::string& r : engine.requests_)
    EXPECT_TRUE(r == "api version" || r == "version" || r == "info" || starts_with(r, "get image "))
        << r;

  // A remote engine's disk is not this machine's to measure.
  probes.paths_probed.clear();
  facts.engine_is_local = false;
  results = survey::run_preflight(facts, "lumadex", catalogue());
  EXPECT_EQ(Level::warn, find(results, "disk").level);
  EXPECT_TRUE(probes.paths_probed.empty());
}

TEST(Preflight, APodmanEngineIsNamedAndItsLimitsChecked) {
  AnsweringEngine engine;
  engine.version_ = {"4.3.1", "1.41", true};
  FakeHost fake_host;
  FakeProbes probes;
  probes.memlock = {true, 0, false};  // memlock unlimited, but no CAP_SYS_RESOURCE
  survey::PreflightFacts facts{engine, fake_host.host, probes.probes(), true};
  std::vector<CheckResult> results = survey::run_preflight(facts, "lumadex", catalogue());

  std::vector<std::string> order = kOrder;
  order.insert(order.begin() + 6, "podman limits");
  EXPECT_EQ(order, names(results));
  EXPECT_TRUE(starts_with(find(results, "engine").reason, "Podman 4.3.1 answers"))
      << find(results, "engine").reason;
  EXPECT_EQ(Level::pass, find(results, "memlock").level);
  EXPECT_EQ(Level::warn, find(results, "podman limits").level);
  EXPECT_EQ(Level::pass, survey::check_podman_limits({false, 65536, true}).level);
}

TEST(Preflight, WithoutAnEngineTheHostIsStillChecked) {
  AnsweringEngine engine;
  engine.errors_["api version"] = std::make_exception_ptr(docker::ConnectionError(
      "negotiate the API version", "unix:///var/run/docker.sock", "Connection refused"));
  FakeHost fake_host;
  fake_host.process.answers_["sysctl vm.max_map_count"] = {0, "vm.max_map_count = 65530\n"};
  FakeProbes probes;
  probes.port_answer = {PortProbe::State::in_use, "bind: Address already in use"};
  probes.memlock = {false, 8 * 1024 * 1024, false};
  survey::PreflightFacts facts{engine, fake_host.host, probes.probes(), true};
  std::vector<CheckResult> results = survey::run_preflight(facts, "lumadex", catalogue());

  EXPECT_EQ(kOrder, names(results));
  EXPECT_EQ(Level::fail, find(results, "engine").level);
  for (const char* name : {"cpus", "memory", "disk", "images"}) {
    EXPECT_EQ(Level::warn, find(results, name).level) << name;
    EXPECT_TRUE(contains(find(results, name).reason, "not checked")) << name;
  }
  EXPECT_EQ(Level::warn, find(results, "vm.max_map_count").level);
  EXPECT_EQ(Level::warn, find(results, "memlock").level);
  // Its holder may be the product itself: only the engine can tell.
  EXPECT_EQ(Level::warn, find(results, "port 5000").level);
  EXPECT_TRUE(probes.paths_probed.empty());
  EXPECT_EQ((std::vector<std::string>{"api version"}), engine.requests_);
}

TEST(Preflight, EngineFailuresPartWay) {
  AnsweringEngine engine;
  engine.fail_next("info", docker::ApiError("engine info", 500, "daemon is shutting down"));
  engine.fail_next("get image redis", docker::ApiError("get image redis:6.0.4", 500, "boom"));
  FakeHost fake_host;
  FakeProbes probes;
  survey::PreflightFacts facts{engine, fake_host.host, probes.probes(), true};
  std::vector<CheckResult> results = survey::run_preflight(facts, "lumadex", catalogue());
  EXPECT_EQ(kOrder, names(results));
  EXPECT_EQ(Level::fail, find(results, "cpus").level);
  EXPECT_TRUE(contains(find(results, "cpus").reason, "shutting down"));
  EXPECT_EQ(Level::pass, find(results, "memory").level) << "asked again, and answered";
  EXPECT_EQ(Level::fail, find(results, "images").level);
}

// The port is taken: by the installed product's api container it passes, by
// anything else (the same product stopped included) it fails.
TEST(Preflight, PortHeldByTheInstalledProduct) {
  auto engine = std::make_shared<AnsweringEngine>();
  for (const ServiceDescription& s : catalogue()) engine->add_image(s.image);
  FakeHost fake_host;
  LumadexInstaller product({fake_host.host, [engine] { return engine; }, {}});
  ::testing::internal::CaptureStdout();
  bool installed = product.install();
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(installed);

  FakeProbes probes;
  probes.port_answer = {PortProbe::State::in_use, "bind: Address already in use"};
  survey::PreflightFacts facts{*engine, fake_host.host, probes.probes(), true};
  EXPECT_EQ(Level::pass, find(survey::run_preflight(facts, "lumadex", catalogue()), "port 5000").level);
  EXPECT_EQ(1, std::count(engine->requests_.begin(), engine->requests_.end(), "inspect lumadex-api"));

  engine->stop_container("lumadex-api");
  EXPECT_EQ(Level::fail, find(survey::run_preflight(facts, "lumadex", catalogue()), "port 5000").level);
}

TEST(Preflight, Rendering) {
  const std::vector<CheckResult> results = {
      {"engine", Level::pass, "Docker answers", "nothing"},
      {"vm.max_map_count", Level::warn, "65530, too low", "bootstrap install raises it"},
      {"port 5000", Level::fail, "in use", ""}};
  EXPECT_EQ(
      "pass  engine            Docker answers\n"
      "warn  vm.max_map_count  65530, too low\n"
      "                        -> bootstrap install raises it\n"
      "fail  port 5000         in use\n"
      "\n"
      "1 passed, 1 warned, 1 failed\n",
      app::render_preflight_text(results));
  EXPECT_TRUE(survey::any_failed(results));
  json document = json::parse(app::render_preflight_json(results));
  EXPECT_EQ(false, document["passed"]);
  EXPECT_EQ((json{{"name", "vm.max_map_count"}, {"level", "warn"}, {"reason", "65530, too low"},
                  {"advice", "bootstrap install raises it"}}),
            document["checks"][1]);
}

// --- This machine ------------------------------------------------------------------

bool has_cap_sys_resource() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_SYS_RESOURCE / 32].effective >> (CAP_SYS_RESOURCE % 32)) & 1U;
}

TEST(HostProbes, RealPortMemlockAndDisk) {
  {
    // A port this test holds is in use; once let go it is free.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(fd, 1));
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
    const int port = ntohs(address.sin_port);
    PortProbe held = survey::probe_tcp_port(port);
    EXPECT_EQ(PortProbe::State::in_use, held.state) << held.detail;
    ::close(fd);
    PortProbe released = survey::probe_tcp_port(port);
    EXPECT_EQ(PortProbe::State::free, released.state) << released.detail;
  }
  {
    rlimit limit{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_MEMLOCK, &limit));
    survey::MemlockLimit found = survey::memlock_hard_limit();
    EXPECT_EQ(limit.rlim_max == RLIM_INFINITY, found.unlimited);
    if (!found.unlimited) {
      EXPECT_EQ(limit.rlim_max, found.hard_bytes);
    }
    EXPECT_EQ(has_cap_sys_resource(), found.can_raise);
  }
  {
    std::optional<survey::DiskSpace> root = survey::disk_space_at("/");
    ASSERT_TRUE(root.has_value());
    EXPECT_GT(root->total, 0u);
    EXPECT_LE(root->available, root->total);
    EXPECT_FALSE(survey::disk_space_at("/nonexistent/kestro-ops").has_value());
  }
}

// What preflight finds here with the sandbox engine, against what this
// machine has: its memlock cap and its CPU count.
TEST(PreflightOnThisMachine, MemlockAndCpuFindings) {
  REQUIRE_SANDBOX();
  std::shared_ptr<docker::Client> client = sandbox_client();
  const int ncpu = client->info().ncpu;
  survey::PreflightFacts facts{*client, host::real_host(), survey::real_probes(), true};
  std::vector<CheckResult> results = survey::run_preflight(facts, "lumadex", catalogue());
  EXPECT_EQ(kOrder, names(results));
  EXPECT_EQ(Level::pass, find(results, "engine").level) << find(results, "engine").reason;

  const CheckResult& memlock = find(results, "memlock");
  rlimit limit{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_MEMLOCK, &limit));
  if (limit.rlim_max == RLIM_INFINITY) {
    EXPECT_EQ(Level::pass, memlock.level) << memlock.reason;
  } else {
    EXPECT_TRUE(contains(memlock.reason, "(" + std::to_string(limit.rlim_max) + " bytes)"))
        << memlock.reason;
    EXPECT_EQ(has_cap_sys_resource() ? Level::pass : Level::warn, memlock.level) << memlock.reason;
  }

  const CheckResult& cpus = find(results, "cpus");
  EXPECT_TRUE(starts_with(cpus.reason, std::to_string(ncpu) + " logical CPU")) << cpus.reason;
  EXPECT_EQ(ncpu < 5 ? Level::warn : Level::pass, cpus.level) << cpus.reason;
  if (ncpu < 4) {
    EXPECT_TRUE(contains(cpus.reason, "worker-task")) << cpus.reason;
    EXPECT_TRUE(contains(cpus.reason, "es1")) << cpus.reason;
  }
}

TEST(PreflightProgram, OnTheSandbox) {
  REQUIRE_SANDBOX();
  RunResult r = run_program({program_dir() + "/bootstrap", "preflight"});
  std::vector<std::string> lines = lines_of(r.out);
  bool failed = false;
  for (const std::string& name : kOrder) {
    auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.size() > 6 && l.compare(6, name.size() + 1, name + " ") == 0;
    });
    ASSERT_NE(lines.end(), line) << name << " missing from:\n" << r.out;
    failed = failed || starts_with(*line, "fail  ");
  }
  EXPECT_EQ(failed ? 1 : 0, r.status) << r.out << r.err;
  EXPECT_EQ(failed ? 1u : 0u, lines_of(r.err).size()) << r.err;
}

TEST(PreflightProgram, WithoutAnEngine) {
  RunResult r = run_program({program_dir() + "/bootstrap", "preflight"},
                            {"DOCKER_HOST=unix:///tmp/kestro-ops-nowhere.sock"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(starts_with(r.out, "fail  engine ")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nwarn  cpus ")) << r.out;
  EXPECT_TRUE(contains(r.out, "\npass  memlock ") || contains(r.out, "\nwarn  memlock ")) << r.out;
  ASSERT_EQ(1u, lines_of(r.err).size()) << r.err;
  EXPECT_TRUE(starts_with(r.err, "error: preflight: ")) << r.err;
  EXPECT_TRUE(contains(r.err, "engine")) << r.err;
}

}  // namespace
}  // namespace bootstrap::testing
