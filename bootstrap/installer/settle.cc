#include "bootstrap/installer/settle.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <thread>
#include <utility>

#include "bootstrap/base/live_lines.h"
#include "bootstrap/base/text.h"

namespace bootstrap::installer {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kPollInterval{1000};
constexpr int kLogLines = 10;
constexpr std::size_t kAtOnce = 8;

class RealTimer : public Timer {
 public:
  std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep(milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

// Asks `ask` about each of `names`, up to kAtOnce at a time, and returns the
// answers in the order of `names`; the first failure in that order is thrown
// once every request has ended. The engine answers about a container it is
// restarting only when the restart is through, so with several crashing
// containers, questions asked one after another would keep the watch waiting
// well past its settle period.
template <typename T>
std::vector<T> at_once(const std::vector<std::string>& names,
                       const std::function<T(const std::string&)>& ask) {
  std::vector<T> answers;
  answers.reserve(names.size());
  for (std::size_t first = 0; first < names.size(); first += kAtOnce) {
    const std::size_t end = std::min(names.size(), first + kAtOnce);
    std::vector<std::future<T>> pending;
    for (std::size_t i = first; i < end; ++i)
      pending.push_back(std::async(std::launch::async, ask, std::cref(names[i])));
    std::exception_ptr failure;
    for (std::future<T>& answer : pending) {
      try {
        answers.push_back(answer.get());
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
  }
  return answers;
}

std::string times(int count) { return std::to_string(count) + (count == 1 ? " time" : " times"); }

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The waiting line: redrawn in place on a terminal, and on a plain output
// printed only when the set of containers it names changes, so that a log
// file gets one line per change rather than one per poll.
class WaitingLine {
 public:
  WaitingLine(std::ostream& out, bool live) : out_(out), live_(live), screen_(out) {}

  void show(const std::vector<std::string>& starting, seconds waited) {
    std::string names = joined(starting);
    if (live_) {
      screen_.show({"waiting for " + names + " to become healthy (" +
                    std::to_string(waited.count()) + " s)"});
    } else if (names != last_) {
      out_ << "waiting for " << names << " to become healthy" << std::endl;
    }
    last_ = names;
  }

  void clear() { screen_.clear(); }

 private:
  std::ostream& out_;
  bool live_;
  base::LiveLines screen_;
  std::string last_;
};

}  // namespace

Timer& real_timer() {
  static RealTimer timer;
  return timer;
}

void watch_settle(docker::Client& client, const std::vector<std::string>& containers,
                  const SettleOptions& options, std::ostream& out, Timer& timer) {
  if (options.settle <= seconds{0} || containers.empty()) return;
  out << "checking that " << containers.size()
      << (containers.size() == 1 ? " container stays" : " containers stay") << " up ("
      << options.settle.count() << " s)" << std::endl;
  const auto started = timer.now();
  // Restarts from before the watch are history; only new ones are failures.
  std::map<std::string, int> restarts_before;
  std::vector<std::string> failed;
  // Containers that the engine restarted and that run again: their exit
  // status is gone until they exit once more, which a later poll may see.
  std::map<std::string, docker::ContainerDetails> running_again;
  WaitingLine waiting(out, options.live);
  using Found = std::vector<std::pair<std::string, docker::ContainerDetails>>;
  // Prints each container that failed, with the end of its log.
  auto report = [&](const Found& found) {
    if (found.empty()) return;
    docker::LogOptions last;
    last.tail = kLogLines;
    std::vector<std::string> names;
    for (const auto& entry : found) names.push_back(entry.first);
    const std::vector<std::vector<std::string>> logs =
        at_once<std::vector<std::string>>(names, [&](const std::string& name) {
          std::vector<std::string> lines;
          client.container_logs(name, last, [&lines](docker::LogStream, std::string_view line) {
            lines.emplace_back(line);
          });
          return lines;
        });
    waiting.clear();
    for (std::size_t i = 0; i < found.size(); ++i) {
      const auto& [name, details] = found[i];
      failed.push_back(name);
      out << name;
      if (details.running && !details.restarting)
        out << " exited and was restarted";
      else
        out << " exited with status " << details.exit_code;
      out << " (restarted " << times(details.restart_count) << ")" << std::endl;
      // A container's output is anyone's text: escaped, it cannot drive the
      // terminal or pass for one of our lines.
      for (const std::string& line : logs[i]) out << "    " << base::printable(line) << '\n';
    }
    for (const auto& entry : found) running_again.erase(entry.first);
    out << std::flush;
  };
  while (true) {
    std::vector<std::string> watched;
    for (const std::string& name : containers)
      if (std::find(failed.begin(), failed.end(), name) == failed.end()) watched.push_back(name);
    const std::vector<docker::ContainerDetails> seen = at_once<docker::ContainerDetails>(
        watched, [&client](const std::string& name) { return client.inspect_container(name); });
    Found down;
    std::vector<std::string> starting;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      const std::string& name = watched[i];
      const docker::ContainerDetails& details = seen[i];
      auto [before, first] = restarts_before.emplace(name, details.restart_count);
      if (!details.running || details.restarting) {
        down.emplace_back(name, details);
      } else if (details.restart_count > before->second) {
        running_again.insert_or_assign(name, details);
      } else if (!details.health.empty() && details.health != "healthy") {
        starting.push_back(name);
      }
    }
    report(down);
    const auto waited = duration_cast<milliseconds>(timer.now() - started);

    // A broken image fails every container that runs it, but the engine's
    // restart back-off decides when each one shows it: the others are
    // watched on until the settle period is over, and no longer, so that
    // the failure names them all without delaying it past that period.
    const bool settled = waited >= options.settle;
    const bool timed_out = !starting.empty() && waited >= options.wait_timeout;
    const bool any_failed = !failed.empty() || !running_again.empty();
    if (any_failed && (failed.size() == containers.size() || settled || timed_out)) {
      Found again;
      for (const std::string& name : containers) {
        auto found = running_again.find(name);
        if (found != running_again.end()) again.emplace_back(name, found->second);
      }
      report(again);
      waiting.clear();
      throw SettleFailure(joined(failed) + " did not stay up");
    }
    if (starting.empty() && settled) return;
    if (timed_out) {
      waiting.clear();
      throw SettleFailure(joined(starting) + (starting.size() == 1 ? " is" : " are") +
                          " not healthy after " + std::to_string(options.wait_timeout.count()) +
                          " s");
    }
    if (!starting.empty()) waiting.show(starting, duration_cast<seconds>(waited));
    // The last poll falls on the end of the settle period rather than up to a
    // second after it.
    milliseconds pause = kPollInterval;
    if (starting.empty() || any_failed)
      pause = std::min(pause, duration_cast<milliseconds>(options.settle) - waited);
    timer.sleep(pause);
  }
}

}  // namespace bootstrap::installer
