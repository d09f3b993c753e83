#include "bench/rollback_times.h"

#include <algorithm>
#include <chrono>

namespace kestro::bench {

std::optional<RollbackTimes> rollback_times(std::vector<CallRecord> calls) {
  using Clock = std::chrono::steady_clock;
  std::sort(calls.begin(), calls.end(),
            [](const CallRecord& a, const CallRecord& b) { return a.started < b.started; });
  auto first_start = std::find_if(calls.begin(), calls.end(), [](const CallRecord& c) {
    return c.kind == CallKind::kStartContainer;
  });
  if (first_start == calls.end()) return std::nullopt;
  auto restore = std::find_if(first_start, calls.end(),
                              [](const CallRecord& c) { return c.kind == CallKind::kTagImage; });
  if (restore == calls.end()) return std::nullopt;
  std::optional<Clock::time_point> started, failed, running;
  auto later = [](std::optional<Clock::time_point>& at, Clock::time_point t) {
    if (!at || t > *at) at = t;
  };
  for (auto c = first_start; c != restore; ++c) {
    if (c->kind == CallKind::kStartContainer) later(started, c->ended);
    if (c->kind == CallKind::kInspectContainer || c->kind == CallKind::kContainerLogs)
      later(failed, c->ended);
  }
  for (auto c = restore; c != calls.end(); ++c)
    if (c->kind == CallKind::kStartContainer) later(running, c->ended);
  if (!started || !failed || !running || *failed < *started) return std::nullopt;
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  return RollbackTimes{ms(*failed - *started), ms(*running - *failed), ms(*running - *started)};
}

}  // namespace kestro::bench
