// The settle watch's waits, on the fake engine and a fake clock: what the
// sandbox cannot produce on demand (a health check that never passes).
#include "bootstrap/installer/settle.h"

#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/fake_engine.h"

namespace bootstrap::installer {
namespace {

// Time passes only when the watch sleeps.
struct SteppingTimer : Timer {
  std::chrono::steady_clock::time_point at{};
  std::chrono::milliseconds slept{0};
  std::chrono::steady_clock::time_point now() override { return at; }
  void sleep(std::chrono::milliseconds duration) override {
    at += duration;
    slept += duration;
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

}  // namespace
}  // namespace bootstrap::installer
