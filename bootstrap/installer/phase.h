// Phase: the engine requests of one step of an operation, run up to a limit
// at once.
//
// The installer's steps (start every container, stop every container, ...)
// are lists of independent engine requests. A Phase runs them as jobs: issue()
// hands one over and returns once it runs, so jobs begin in the order they
// were issued, with at most `limit` running at once. A job prints through the
// function it is given: the lines of all jobs come out in the order the jobs
// were issued, each job's at once while every earlier job has ended, and
// otherwise when they have. With a limit of 1 each job runs in the caller's
// thread before issue() returns, so the step keeps the order and pace of a
// plain loop.
//
// When a job fails, no further job is issued; those running finish, and
// finish() reports every failure.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrap/base/console.h"

namespace bootstrap::installer {

// The highest job count an operation accepts (--jobs).
inline constexpr int kMaxJobs = 16;

// Several jobs of one phase failed. what() reads "N requests failed: " and
// each failure's text, joined by "; ".
class PhaseFailures : public std::runtime_error {
 public:
  explicit PhaseFailures(std::vector<std::exception_ptr> failures);
  // Each failure, in the order its job was issued.
  const std::vector<std::exception_ptr>& failures() const { return failures_; }

 private:
  std::vector<std::exception_ptr> failures_;
};

class Phase {
 public:
  // Prints one line of a job's on the phase's console.
  using Print = std::function<void(const std::string& line)>;
  using Job = std::function<void(const Print& print)>;

  // Prints on `console`. Throws std::invalid_argument unless
  // 1 <= limit <= kMaxJobs.
  Phase(int limit, const base::Console& console);
  // Waits for the jobs still running; what they throw is dropped.
  ~Phase();
  Phase(const Phase&) = delete;
  Phase& operator=(const Phase&) = delete;

  // Waits until fewer than `limit` jobs run, then starts `job`. Returns false,
  // starting nothing, once an issued job has failed or Ctrl-C was pressed.
  bool issue(Job job);

  // Waits for every issued job, prints what they have not, and calls `ended`
  // (when given) in this thread for each job in issue order (numbered from 0)
  // with whether it succeeded, so the caller can record what was done. Then
  // throws the failure of the one job that failed as that job threw it,
  // docker::Interrupted when several failed after Ctrl-C or a job was refused
  // for it, and PhaseFailures when several failed otherwise.
  using Ended = std::function<void(std::size_t job, bool succeeded)>;
  void finish(const Ended& ended = {});

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace bootstrap::installer
