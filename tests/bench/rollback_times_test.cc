#include "bench/rollback_times.h"

#include <gtest/gtest.h>

namespace kestro::bench {
namespace {

using std::chrono::milliseconds;

CallRecord call(CallKind kind, int from_ms, int to_ms) {
  const auto zero = std::chrono::steady_clock::time_point{};
  return CallRecord{kind, zero + milliseconds(from_ms), zero + milliseconds(to_ms)};
}

TEST(RollbackTimes, ReadsTheWatchAndTheRollbackFromTheTimeline) {
  using K = CallKind;
  struct Case {
    const char* what;
    std::vector<CallRecord> calls;
    std::optional<RollbackTimes> expected;
  };
  const std::vector<Case> cases = {
      {"keep, fetch, start, watch, restore, start again",
       {call(K::kTagImage, 0, 5), call(K::kPull, 10, 500), call(K::kStartContainer, 600, 700),
        call(K::kStartContainer, 650, 800), call(K::kInspectContainer, 810, 820),
        call(K::kContainerLogs, 1800, 1850), call(K::kGetImage, 1860, 1870),
        call(K::kTagImage, 1880, 1890), call(K::kStartContainer, 2500, 2900),
        call(K::kInspectContainer, 3000, 3010)},
       RollbackTimes{1050, 1050, 2100}},
      // Logged in order of their ends, as threads finish: read by start.
      {"out of order",
       {call(K::kStartContainer, 2500, 2900), call(K::kTagImage, 1880, 1890),
        call(K::kInspectContainer, 810, 1000), call(K::kStartContainer, 600, 700)},
       RollbackTimes{300, 1900, 2200}},
      {"no rollback: no tag after the starts",
       {call(K::kTagImage, 0, 5), call(K::kStartContainer, 600, 700),
        call(K::kInspectContainer, 810, 820)},
       std::nullopt},
      {"nothing started", {call(K::kTagImage, 0, 5), call(K::kInspectContainer, 810, 820)},
       std::nullopt},
      {"no start after the restore",
       {call(K::kStartContainer, 600, 700), call(K::kInspectContainer, 810, 820),
        call(K::kTagImage, 900, 910)},
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<RollbackTimes> got = rollback_times(c.calls);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_DOUBLE_EQ(got->watch_ms, c.expected->watch_ms);
    EXPECT_DOUBLE_EQ(got->failed_to_running_ms, c.expected->failed_to_running_ms);
    EXPECT_DOUBLE_EQ(got->started_to_running_ms, c.expected->started_to_running_ms);
  }
}

}  // namespace
}  // namespace kestro::bench
