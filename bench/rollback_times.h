// Where a rolled-back update spent its time, read from its own request
// timeline (TimingClient). The update starts the new containers; the settle
// watch inspects them (and reads the logs of those that failed) until it
// fails; the rollback then tags the kept images back (the first tag request
// after the update's starts; the tags that keep them come before any start)
// and starts the containers on the previous image again.
#pragma once

#include <optional>
#include <vector>

#include "bench/timing_client.h"

namespace kestro::bench {

struct RollbackTimes {
  double watch_ms = 0;               // the update's last start to the watch's last request
  double failed_to_running_ms = 0;   // the watch's last request to the rollback's last start
  double started_to_running_ms = 0;  // the update's last start to the rollback's last start
};

// The times in `calls` (any order); nothing when the timeline holds no
// rollback (no tag request after a start, or no inspection or start
// around it).
std::optional<RollbackTimes> rollback_times(std::vector<CallRecord> calls);

}  // namespace kestro::bench
