#include "bootstrap/installer/phase.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "bootstrap/docker/errors.h"

namespace bootstrap::installer {

namespace {

std::string joined(const std::vector<std::exception_ptr>& failures) {
  std::string text = std::to_string(failures.size()) + " requests failed: ";
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (i > 0) text += "; ";
    try {
      std::rethrow_exception(failures[i]);
    } catch (const std::exception& e) {
      text += e.what();
    } catch (...) {
      text += "unknown error";
    }
  }
  return text;
}

}  // namespace

PhaseFailures::PhaseFailures(std::vector<std::exception_ptr> failures)
    : std::runtime_error(joined(failures)), failures_(std::move(failures)) {}

struct Phase::State {
  // What one issued job has printed while an earlier job still ran.
  struct Output {
    std::vector<std::string> held;
    bool ended = false;
  };

  explicit State(const base::Console& where) : console(where) {}

  const base::Console& console;
  int limit = 1;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<std::size_t, Job>> waiting;  // issued, not yet taken by a worker
  std::vector<std::thread> workers;
  std::size_t idle_workers = 0;
  std::size_t running = 0;  // issued and not ended, waiting ones included
  bool closing = false;
  bool interrupted = false;  // a job was refused for Ctrl-C
  std::deque<Output> outputs;  // one per issued job, by issue number
  std::size_t head = 0;        // the first job whose lines are not all out
  std::vector<std::pair<std::size_t, std::exception_ptr>> failures;

  // Under `mutex`.
  void print(std::size_t job, const std::string& line) {
    if (job == head)
      console.say(line);
    else
      outputs[job].held.push_back(line);
  }

  // Under `mutex`: the job has ended; the lines that were held only for it
  // go out now.
  void ended(std::size_t job) {
    outputs[job].ended = true;
    while (head < outputs.size() && outputs[head].ended) {
      ++head;
      if (head == outputs.size()) break;
      for (const std::string& line : outputs[head].held) console.say(line);
      outputs[head].held.clear();
    }
    --running;
    changed.notify_all();
  }

  // Runs one job outside the lock; its failure is kept for finish().
  void run(std::size_t job, const Job& body) {
    Print print_line = [this, job](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      print(job, line);
    };
    std::exception_ptr failure;
    try {
      body(print_line);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (failure) failures.emplace_back(job, failure);
    ended(job);
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      changed.wait(lock, [this] { return !waiting.empty() || closing; });
      if (waiting.empty()) return;
      std::pair<std::size_t, Job> next = std::move(waiting.front());
      waiting.pop_front();
      --idle_workers;
      lock.unlock();
      run(next.first, next.second);
      lock.lock();
      ++idle_workers;
    }
  }

  void wait_and_join() {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [this] { return running == 0; });
      closing = true;
    }
    changed.notify_all();
    for (std::thread& worker : workers) worker.join();
    workers.clear();
    idle_workers = 0;
    closing = false;
  }
};

Phase::Phase(int limit, const base::Console& console)
    : state_(std::make_unique<State>(console)) {
  if (limit < 1 || limit > kMaxJobs)
    throw std::invalid_argument("the job count must be from 1 to " + std::to_string(kMaxJobs) +
                                ", not " + std::to_string(limit));
  state_->limit = limit;
}

Phase::~Phase() { state_->wait_and_join(); }

bool Phase::issue(Job job) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait(lock, [&s] {
    return s.running < static_cast<std::size_t>(s.limit) || !s.failures.empty();
  });
  if (!s.failures.empty()) return false;
  if (docker::interrupt_requested()) {
    s.interrupted = true;
    return false;
  }
  const std::size_t number = s.outputs.size();
  s.outputs.emplace_back();
  ++s.running;
  if (s.limit == 1) {
    // Nothing else runs: the caller's thread does the work, as a plain loop
    // would.
    lock.unlock();
    s.run(number, job);
    return true;
  }
  s.waiting.emplace_back(number, std::move(job));
  // Workers are made as jobs need them, never more than the limit. A worker
  // counts as idle until it has taken a job, so one just made may still owe
  // a job taken: compare with the jobs waiting, not with zero.
  if (s.waiting.size() > s.idle_workers && s.workers.size() < static_cast<std::size_t>(s.limit)) {
    ++s.idle_workers;
    s.workers.emplace_back([&s] { s.work(); });
  }
  s.changed.notify_all();
  return true;
}

void Phase::finish(const Ended& ended) {
  state_->wait_and_join();
  std::vector<std::pair<std::size_t, std::exception_ptr>> failures = std::move(state_->failures);
  state_->failures.clear();
  if (ended) {
    std::vector<bool> failed(state_->outputs.size());
    for (const auto& failure : failures) failed[failure.first] = true;
    for (std::size_t job = 0; job < failed.size(); ++job) ended(job, !failed[job]);
  }
  if (failures.empty()) {
    if (state_->interrupted) throw docker::Interrupted();
    return;
  }
  std::sort(failures.begin(), failures.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (failures.size() == 1) std::rethrow_exception(failures.front().second);
  // Each request abandoned by Ctrl-C says only that; the operator asked for it.
  if (docker::interrupt_requested()) throw docker::Interrupted();
  std::vector<std::exception_ptr> each;
  for (auto& [number, failure] : failures) each.push_back(std::move(failure));
  throw PhaseFailures(std::move(each));
}

}  // namespace bootstrap::installer
