// Console: the one way out for what the program prints.
//
// Results and progress go to `out`, the reason for a failure and warnings to
// `err`, one whole line at a time (lines may come from several threads with
// --jobs) and flushed at once, so they keep their order with what the
// programs it runs (apt, sysctl) print and with a terminal's progress
// display. Lines often carry other programs' words (the engine's error
// messages, a file's text), so their control characters are shown escaped.
// The front end makes one for the process from the terminal's facts; every
// layer below prints through the one it is given.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace bootstrap::base {

// What the output may do on the terminal it goes to.
struct Terminal {
  bool tty = false;     // standard output is a terminal: live progress lines
  bool colour = false;  // and may be coloured (NO_COLOR unset or empty)
};

class Console {
 public:
  Console(std::ostream& results, std::ostream& failures, Terminal facts = {})
      : out(results), err(failures), terminal(facts) {}
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Prints `line` as one line on `out`, control characters escaped.
  void say(const std::string& line) const;

  // Prints "warning: LINE" as one line on `err`, control characters escaped.
  void warn(const std::string& line) const;

  // Prints "error: WHAT: WHY" (without "WHAT: " when `what` is empty) as one
  // line on `err`; `why` often quotes the engine or the command line, so its
  // control characters are shown escaped.
  void error(const std::string& what, const std::string& why) const;

  // The process's standard output and error, no terminal assumed: the
  // console of a caller that was given none (tests, the benchmark).
  static const Console& standard();

  // For what is written as a block (a table, a watch's lines); such writers
  // escape what they quote themselves.
  std::ostream& out;
  std::ostream& err;
  Terminal terminal;

 private:
  mutable std::mutex mutex_;
};

}  // namespace bootstrap::base
