// LiveLines: a few lines at the bottom of a terminal, redrawn in place.
//
// Each show() replaces what the last one drew (a longer earlier drawing is
// cleared below), and clear() leaves the terminal as if nothing had been
// drawn, so a transcript keeps only the program's own lines. It writes
// terminal control sequences unconditionally: callers use it only when
// their output is a terminal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace bootstrap::base {

class LiveLines {
 public:
  explicit LiveLines(std::ostream& out) : out_(out) {}
  // Clears what is still drawn.
  ~LiveLines() { clear(); }
  LiveLines(const LiveLines&) = delete;
  LiveLines& operator=(const LiveLines&) = delete;

  // Draws `lines` over the last drawing; with `dim_all_but_last` every line
  // but the last is drawn faint. Never throws beyond the stream's own.
  void show(const std::vector<std::string>& lines, bool dim_all_but_last = false);

  // Erases the last drawing, if any.
  void clear();

  // The lines as last drawn (empty after clear()).
  const std::vector<std::string>& drawn() const { return drawn_; }

 private:
  std::ostream& out_;
  std::vector<std::string> drawn_;
};

}  // namespace bootstrap::base
