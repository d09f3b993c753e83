// Watching what an operation started until it has settled.
//
// The engine answers a start as soon as the process is launched, so a
// container whose entry point dies at once looks started all the same. The
// watch polls each container an operation started for a settle period: one
// that exits, or that the engine restarts, has failed. One whose image
// defines a health check is also waited for until it reports healthy, up to
// a longer limit.
#pragma once

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"

namespace bootstrap::installer {

// The watch's time. Abstract so that unit tests run a whole watch without
// waiting; real_timer() is the steady clock and a real sleep.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};
Timer& real_timer();

struct SettleOptions {
  std::chrono::seconds settle{0};  // how long to watch; 0 turns the watch off
  std::chrono::seconds wait_timeout{300};  // how long a health check may take to pass
  bool live = false;  // redraw one waiting line in place (a terminal), else print plain lines
};

// The watch found containers that did not come up; what it found has been
// printed.
class SettleFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Watches `containers` (engine names) as `options` say, printing on `out`.
// For every container that exited or was restarted it prints, as soon as it
// sees it, one line ("lumadex-api exited with status 3 (restarted 2 times)")
// and the last ten lines of its log (one that the engine has restarted and
// that runs again has no exit status until it exits once more: the watch
// waits for that, and otherwise says "exited and was restarted" when the
// period ends); once one has failed it watches the rest
// until the settle period is over (or none is left), then throws
// SettleFailure naming every failed one. It also throws SettleFailure when a
// health check has not passed within the wait timeout. Engine errors reach
// the caller.
void watch_settle(docker::Client& client, const std::vector<std::string>& containers,
                  const SettleOptions& options, std::ostream& out, Timer& timer = real_timer());

}  // namespace bootstrap::installer
