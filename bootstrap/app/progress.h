// A live display of an image pull's progress on a terminal.
//
// It sits under the "pulling ..." line: one line per layer (status, bytes done
// of bytes known) and a total line, redrawn in place as progress lines arrive
// and erased when the pull ends, so the transcript keeps only the installer's
// own lines. Layers whose size is not known yet count in the done bytes but
// not in the known total. Redraws are limited to a few per second.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "bootstrap/base/live_lines.h"
#include "bootstrap/docker/client.h"

namespace bootstrap::app {

class PullProgressView {
 public:
  using Clock = std::chrono::steady_clock;

  // Draws on `out`; `color` dims the layer lines. `now` is the clock the
  // redraw limit uses.
  PullProgressView(std::ostream& out, bool color,
                   std::function<Clock::time_point()> now = &Clock::now);

  // Takes one progress line. An event with neither id nor status means the
  // pull has ended: the display is erased.
  void operator()(const docker::PullEvent& event);

  // The lines as last drawn (empty after the end).
  const std::vector<std::string>& drawn() const { return screen_.drawn(); }

  // 1.5 MB style sizes, for the display.
  static std::string human_bytes(std::int64_t bytes);

 private:
  struct Layer {
    std::string id;
    std::string status;
    std::int64_t current = 0;
    std::int64_t total = 0;  // 0: not known
    std::string units;
    bool done = false;
  };

  std::vector<std::string> render() const;

  base::LiveLines screen_;
  bool color_;
  std::function<Clock::time_point()> now_;
  Clock::time_point last_draw_{};
  std::vector<Layer> layers_;
};

}  // namespace bootstrap::app
