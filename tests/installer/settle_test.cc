// The settle watch's waits, on the fake engine and a fake clock: what the
// sandbox cannot produce on demand (a health check that never passes, a
// container that fails seconds after another).
#include "bootstrap/installer/settle.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/docker/forwarding_client.h"
#include "tests/support/fake_engine.h"

namespace bootstrap::installer {
namespace {

// Time passes only when the watch sleeps; `then` changes the engine when
// the watch wakes.
struct SteppingTimer : Timer {
  std::chrono::steady_clock::time_point at{};
  std::chrono::milliseconds slept{0};
  std::function<void(std::chrono::milliseconds)> then = [](std::chrono::milliseconds) {};
  std::chrono::steady_clock::time_point now() override { return at; }
  void sleep(std::chrono::milliseconds duration) override {
    at += duration;
    slept += duration;
    then(slept);
  }
};

TEST(SettleWatch, AHealthCheckThatNeverPassesFailsAtTheWaitTimeout) {
  testing::FakeEngine engine;
  engine.add_container("app-web", "kestro/probe").health = "starting";
  engine.add_container("app-db", "kestro/probe");
  SteppingTimer timer;
  std::ostringstream out;
  const SettleOptions options{std::chrono::seconds(5), std::chrono::seconds(30), false};
  try {
    watch_settle(engine, {"app-web", "app-db"}, options, out, timer);
    ADD_FAILURE() << "the watch passed";
  } catch (const SettleFailure& e) {
    EXPECT_STREQ("app-web is not healthy after 30 s", e.what());
  }
  EXPECT_EQ(std::chrono::seconds(30), timer.slept);
  // Without a terminal, one line per change of who is still starting.
  EXPECT_EQ("checking that 2 containers stay up (5 s)\nwaiting for app-web to become healthy\n",
            out.str());

  // Once healthy, the watch ends with the settle period, not before.
  engine.containers_[0].health = "healthy";
  SteppingTimer again;
  watch_settle(engine, {"app-web", "app-db"}, options, out, again);
  EXPECT_EQ(std::chrono::seconds(5), again.slept);
}

TEST(SettleWatch, EveryFailureIsPrintedWhenSeenAndNamedAtTheEndOfTheSettlePeriod) {
  testing::FakeEngine engine;
  engine.add_container("app-web", "kestro/probe", "exited").exit_code = 3;
  // Its log clears the screen, unless escaped.
  engine.containers_[0].log = {{docker::LogStream::kStderr, "fatal: no \x1b[2Jconfiguration"}};
  engine.add_container("app-worker", "kestro/probe").restart_count = 4;
  engine.add_container("app-cache", "kestro/probe");
  engine.add_container("app-db", "kestro/probe").health = "starting";
  SteppingTimer timer;
  std::ostringstream out;
  std::string before_the_worker_failed;
  // The worker is caught running again after a restart, then down with its
  // exit status; the cache is caught only running again.
  timer.then = [&](std::chrono::milliseconds slept) {
    testing::FakeEngine::Container& worker = engine.containers_[1];
    if (slept == std::chrono::seconds(2)) engine.containers_[2].restart_count = 1;
    if (slept == std::chrono::seconds(3)) {
      before_the_worker_failed = out.str();
      worker.restart_count = 5;
    }
    if (slept == std::chrono::seconds(4)) {
      worker.state = "restarting";
      worker.exit_code = 2;
    }
  };
  const SettleOptions options{std::chrono::seconds(5), std::chrono::seconds(30), false};
  try {
    watch_settle(engine, {"app-web", "app-worker", "app-cache", "app-db"}, options, out, timer);
    ADD_FAILURE() << "the watch passed";
  } catch (const SettleFailure& e) {
    EXPECT_STREQ("app-web, app-worker, app-cache did not stay up", e.what());
  }
  // The health check still pending does not stretch the watch once a
  // container has failed.
  EXPECT_EQ(std::chrono::seconds(5), timer.slept);
  const std::string web_failed =
      "checking that 4 containers stay up (5 s)\n"
      "app-web exited with status 3 (restarted 0 times)\n"
      "    fatal: no \\x1b[2Jconfiguration\n"
      "waiting for app-db to become healthy\n";
  EXPECT_EQ(web_failed, before_the_worker_failed);
  EXPECT_EQ(web_failed +
                "app-worker exited with status 2 (restarted 5 times)\n"
                "app-cache exited and was restarted (restarted 1 time)\n",
            out.str());
}

// Holds each inspection and log read until `hold` of its kind are in flight
// (or two seconds have passed) and keeps the most seen at once.
class Gathering : public docker::ForwardingClient {
 public:
  Gathering(std::shared_ptr<testing::FakeEngine> engine, int hold)
      : ForwardingClient(std::move(engine)), hold_(hold) {}

  docker::ContainerDetails inspect_container(const std::string& id) override {
    docker::ContainerDetails details;
    gather(inspections_, [&] { details = ForwardingClient::inspect_container(id); });
    return details;
  }
  void container_logs(const std::string& id, const docker::LogOptions& options,
                      const docker::LogSink& sink) override {
    gather(log_reads_, [&] { ForwardingClient::container_logs(id, options, sink); });
  }

  struct Kind {
    int in_flight = 0;
    int most = 0;
  };
  Kind inspections_, log_reads_;

 private:
  template <typename Call>
  void gather(Kind& kind, Call call) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      kind.most = std::max(kind.most, ++kind.in_flight);
      changed_.notify_all();
      changed_.wait_for(lock, std::chrono::seconds(2), [&] { return kind.in_flight >= hold_; });
    }
    call();
    std::lock_guard<std::mutex> lock(mutex_);
    --kind.in_flight;
  }

  const int hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// The engine answers about a container it is restarting only once the
// restart is through: asked one after another, several crashing containers
// kept a 5-second watch going for 20 seconds. The watch asks about all of
// them at once and still prints in their order.
TEST(SettleWatch, AsksAboutEveryContainerAtOnceAndPrintsInOrder) {
  auto engine = std::make_shared<testing::FakeEngine>();
  const std::vector<std::string> names = {"app-web", "app-worker", "app-cache"};
  for (const std::string& name : names) {
    engine->add_container(name, "kestro/probe", "exited").exit_code = 3;
    engine->containers_.back().log = {{docker::LogStream::kStderr, name + " is broken"}};
  }
  Gathering gathering(engine, 3);
  SteppingTimer timer;
  std::ostringstream out;
  const SettleOptions options{std::chrono::seconds(5), std::chrono::seconds(30), false};
  EXPECT_THROW(watch_settle(gathering, names, options, out, timer), SettleFailure);
  EXPECT_EQ(3, gathering.inspections_.most);
  EXPECT_EQ(3, gathering.log_reads_.most);
  std::string expected = "checking that 3 containers stay up (5 s)\n";
  for (const std::string& name : names)
    expected += name + " exited with status 3 (restarted 0 times)\n    " + name + " is broken\n";
  EXPECT_EQ(expected, out.str());
}

}  // namespace
}  // namespace bootstrap::installer
