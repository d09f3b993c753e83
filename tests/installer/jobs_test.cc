// Several engine requests of one phase in flight at once (set_jobs): the
// same outcome and console as one at a time, never more in flight than
// allowed, every stop before any removal, and after a failure no new request
// and every failure told.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "bootstrap/docker/forwarding_client.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using bootstrap::testing::FakeEngine;
using test::CapturedStdout;
using test::Lines;
using test::service;

// Passes the phases' requests to a FakeEngine one at a time (the fake is not
// thread-safe) and measures how many were in flight together. Each start,
// stop and removal waits until `hold` requests are in flight, or a short
// while has passed, so that the overlap an installer allows really happens.
class ConcurrencyProbe : public docker::ForwardingClient {
 public:
  ConcurrencyProbe(std::shared_ptr<FakeEngine> engine, int hold)
      : ForwardingClient(engine), hold_(hold) {}

  int max_in_flight() const { return max_in_flight_; }

  void start_container(const std::string& id) override {
    probe([&] { ForwardingClient::start_container(id); });
  }
  void stop_container(const std::string& id) override {
    probe([&] { ForwardingClient::stop_container(id); });
  }
  void remove_container(const std::string& id) override {
    probe([&] { ForwardingClient::remove_container(id); });
  }
  docker::ContainerRef create_container(const docker::ContainerSpec& definition) override {
    docker::ContainerRef made;
    probe([&] { made = ForwardingClient::create_container(definition); }, false);
    return made;
  }
  void connect_network(const std::string& network, const std::string& container,
                       const std::vector<std::string>& aliases) override {
    probe([&] { ForwardingClient::connect_network(network, container, aliases); }, false);
  }
  void remove_network(const std::string& id) override {
    probe([&] { ForwardingClient::remove_network(id); });
  }

 private:
  // Creations and joins are not held: bring-ups make them one at a time.
  template <typename Call>
  void probe(Call call, bool held = true) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++in_flight_;
    max_in_flight_ = std::max(max_in_flight_, in_flight_);
    changed_.notify_all();
    if (held)
      changed_.wait_for(lock, std::chrono::milliseconds(50),
                        [this] { return in_flight_ >= hold_; });
    struct Leave {
      ConcurrencyProbe& probe;
      ~Leave() {
        --probe.in_flight_;
        probe.changed_.notify_all();
      }
    } leave{*this};
    call();
  }

  int hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int in_flight_ = 0;
  int max_in_flight_ = 0;
};

// Nine services on two networks; the images are there already.
ServiceList nine_services() {
  ServiceList list;
  for (int i = 1; i <= 9; ++i) {
    ServiceDescription s = service("s" + std::to_string(i), "lmdx2/app");
    s.networks = std::vector<std::string>{i % 2 == 0 ? "even-net" : "odd-net"};
    list.push_back(s);
  }
  return list;
}

struct Outcome {
  Lines printed;
  Lines requests;  // sorted: with several in flight their order is not defined
  Lines containers;
  int max_in_flight = 0;
};

// Brings the services up, scales s1 to six containers and back to two, and
// takes everything down, with `jobs` requests at once.
Outcome up_scale_down(int jobs) {
  auto engine = std::make_shared<FakeEngine>();
  engine->add_image("lmdx2/app");
  auto probe = std::make_shared<ConcurrencyProbe>(engine, jobs);
  bootstrap::testing::FakeHost host;
  ServiceList services = nine_services();
  KestroInstaller installer("lumadex", services, probe, host.host);
  installer.set_jobs(jobs);
  Outcome run;
  CapturedStdout out;
  EXPECT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  installer.scale_service("s1", 6);
  installer.scale_service("s1", 2);
  run.containers = engine->container_names();
  std::sort(run.containers.begin(), run.containers.end());
  for (const FakeEngine::Container& c : engine->containers_)
    EXPECT_EQ("running", c.state) << c.name << " with " << jobs << " jobs";
  engine->requests_.clear();
  installer.compose_down();
  Lines down = engine->requests_;
  auto last_stop = std::find_if(down.rbegin(), down.rend(),
                                [](const std::string& r) { return r.starts_with("stop "); });
  auto first_remove = std::find_if(down.begin(), down.end(),
                                   [](const std::string& r) { return r.starts_with("remove "); });
  EXPECT_EQ(down.rend() - last_stop, first_remove - down.begin())
      << "every stop comes before any removal: " << ::testing::PrintToString(down);
  EXPECT_TRUE(engine->container_names().empty());
  run.printed = out.lines();
  run.requests = down;
  std::sort(run.requests.begin(), run.requests.end());
  run.max_in_flight = probe->max_in_flight();
  return run;
}

TEST(Jobs, SameOutcomeAndLinesAsOneAtATime) {
  Outcome one = up_scale_down(1);
  Outcome four = up_scale_down(4);
  EXPECT_EQ(1, one.max_in_flight);
  EXPECT_EQ(4, four.max_in_flight);
  EXPECT_EQ(one.printed, four.printed);
  EXPECT_EQ(one.containers, four.containers);
  EXPECT_EQ(one.requests, four.requests);
  EXPECT_EQ(10u, one.containers.size()) << ::testing::PrintToString(one.containers);
}

// The nine services over `Probe`, which lets four requests overlap, with four
// jobs.
template <typename Probe>
struct FourJobs {
  std::shared_ptr<FakeEngine> engine = with_app_image();
  std::shared_ptr<Probe> probe = std::make_shared<Probe>(engine, 4);
  bootstrap::testing::FakeHost host;
  ServiceList services = nine_services();
  KestroInstaller installer{"lumadex", services, probe, host.host};
  FourJobs() { installer.set_jobs(4); }

  static std::shared_ptr<FakeEngine> with_app_image() {
    auto engine = std::make_shared<FakeEngine>();
    engine->add_image("lmdx2/app");
    return engine;
  }
};

// Which requests end first among those in flight is up to the scheduler, so
// the failing ones are all among the first four: then no request can end
// well before a failure is known, and the outcome is exact.
TEST(Jobs, AFailureStopsNewRequestsAndEveryFailureIsTold) {
  FourJobs<ConcurrencyProbe> run;
  auto& engine = run.engine;
  auto& installer = run.installer;
  auto refuse = [&](const std::string& name) {
    engine->errors_["start " + name] =
        std::make_exception_ptr(docker::ApiError("start container " + name, 500, "cannot start"));
  };
  for (const char* name : {"lumadex-s1", "lumadex-s2", "lumadex-s3", "lumadex-s4"}) refuse(name);
  {
    CapturedStdout out;
    EXPECT_FALSE(installer.compose_up(std::nullopt, std::nullopt, false));
    Lines printed = out.lines();
    // Every refusal, in the order the starts were issued, then one last word.
    Lines tail(printed.end() - 5, printed.end());
    EXPECT_EQ((Lines{"start container lumadex-s1: 500: cannot start",
                     "start container lumadex-s2: 500: cannot start",
                     "start container lumadex-s3: 500: cannot start",
                     "start container lumadex-s4: 500: cannot start",
                     "unknown error, please try again!"}),
              tail);
  }
  EXPECT_TRUE(installer.failure_reason.starts_with("4 requests failed: start container lumadex-s1"))
      << installer.failure_reason;
  Lines starts;
  for (const std::string& r : engine->requests_)
    if (r.starts_with("start ")) starts.push_back(r);
  std::sort(starts.begin(), starts.end());
  EXPECT_EQ((Lines{"start lumadex-s1", "start lumadex-s2", "start lumadex-s3", "start lumadex-s4"}),
            starts);

  // Take-down of the whole product: two of the first four stops fail; both
  // are told, and nothing is removed.
  engine->errors_.clear();
  {
    CapturedStdout quiet;
    ASSERT_TRUE(installer.compose_up(std::nullopt, std::nullopt, false));
  }
  for (const char* name : {"lumadex-s2", "lumadex-s3"})
    engine->errors_[std::string("stop ") + name] = std::make_exception_ptr(
        docker::ConnectionError(std::string("stop container ") + name, "unix:///x", "gone"));
  engine->requests_.clear();
  CapturedStdout quiet;
  try {
    installer.compose_down();
    ADD_FAILURE() << "failed stops went unnoticed";
  } catch (const PhaseFailures& e) {
    EXPECT_EQ(2u, e.failures().size());
    EXPECT_EQ(std::string("2 requests failed: stop container lumadex-s2: cannot reach the Docker engine at unix:///x: gone; "
                          "stop container lumadex-s3: cannot reach the Docker engine at unix:///x: gone"),
              e.what());
  }
  for (const std::string& r : engine->requests_) EXPECT_TRUE(r.starts_with("stop ")) << r;
}

// Ctrl-C while four starts are in flight: each of them is abandoned as the
// engine client abandons a request (Interrupted), no further start is
// issued, and what reaches the front end is the interruption itself, not a
// list of failures.
class InterruptedStarts : public ConcurrencyProbe {
 public:
  using ConcurrencyProbe::ConcurrencyProbe;
  void start_container(const std::string& id) override {
    ConcurrencyProbe::start_container(id);
    docker::request_interrupt();
    throw docker::Interrupted();
  }
};

TEST(Jobs, CtrlCAbandonsEveryRequestInFlight) {
  FourJobs<InterruptedStarts> run;
  struct Clear {
    ~Clear() { docker::clear_interrupt(); }
  } clear;
  {
    CapturedStdout quiet;
    EXPECT_THROW(run.installer.compose_up(std::nullopt, std::nullopt, false),
                 docker::Interrupted);
  }
  EXPECT_EQ(4, run.probe->max_in_flight());
  Lines starts;
  for (const std::string& r : run.engine->requests_)
    if (r.starts_with("start ")) starts.push_back(r);
  std::sort(starts.begin(), starts.end());
  EXPECT_EQ((Lines{"start lumadex-s1", "start lumadex-s2", "start lumadex-s3",
                   "start lumadex-s4"}),
            starts);
}

}  // namespace
}  // namespace bootstrap::installer
