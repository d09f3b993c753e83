// Runs every measured operation in a child process of its own: this program
// again (`kestro_bench up`, ...) or docker-compose. A child is timed from
// fork to wait4, and its CPU time and peak resident memory come from wait4's
// rusage, so both tools pay their own start-up and exit.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestro::bench {

using Json = nlohmann::ordered_json;

// What one child process cost, and, for our own children, what it reported
// about itself (`--result FILE`: engine requests, engine wait, memory...).
struct Sample {
  double wall_ms = 0;
  double user_ms = 0;
  double sys_ms = 0;
  double cpu_ms = 0;
  double maxrss_mb = 0;
  int status = 0;
  Json child;
};

// The samples of one operation, and the per-sample figures the report
// summarizes. A figure a child did not report reads as 0.
struct Series {
  std::vector<Sample> samples;

  // `figure` of every sample, in order.
  std::vector<double> get(const std::function<double(const Sample&)>& figure) const;
  // Wall time in ms.
  std::vector<double> wall() const;
  // CPU time (user + system) in ms.
  std::vector<double> cpu() const;
  // Peak resident memory in MB.
  std::vector<double> rss() const;
  // A number our child reported under `key`.
  std::vector<double> child(const char* key) const;
  // Wall time less the time our child waited for the engine, in ms.
  std::vector<double> overhead_ms() const;
  // overhead_ms as a percentage of the wall time.
  std::vector<double> overhead_pct() const;
  // The same inside the operation alone (no process start-up or exit).
  std::vector<double> op_overhead_pct() const;
};

// Starts children with their output in OUT/logs/NNN-label.log (numbered in
// order) and our children's reports in OUT/results/NNN-label.json.
class Runner {
 public:
  // Creates OUT/logs and OUT/results; `self` is this program, `compose` the
  // peer's program.
  Runner(std::filesystem::path out, std::string self, std::string compose);

  // Runs argv with stdin from /dev/null, killed by SIGALRM after
  // `timeout_s`; `ours_result` adds `--result FILE` and reads it back.
  // Throws std::runtime_error, with the log's tail, when the child fails.
  Sample run(std::vector<std::string> argv, const std::string& label, bool ours_result,
             unsigned timeout_s = 300);
  // Runs this program with `args`; `measured` asks it for its report.
  Sample ours(const std::vector<std::string>& args, const std::string& label,
              bool measured = true);
  // Runs `compose -p lumadex -f file args`.
  Sample compose(const std::string& file, const std::vector<std::string>& args,
                 const std::string& label);
  // Removes every lumadex container, network and volume from the engine.
  void clean();

  // The path of the next child's log, for a child started outside run().
  std::filesystem::path next_log(const std::string& label);
  // Throws unless exactly `expected` lumadex containers are running.
  void check(int expected);

 private:
  std::filesystem::path out_;
  std::string self_;
  std::string compose_;
  int step_ = 0;
};

// A child process that runs beside the measured ones (a watcher of the
// engine's events), its output in a file; it is ended (SIGTERM, then reaped)
// when this object goes.
class Background {
 public:
  // Starts argv with stdin from /dev/null and stdout and stderr to `output`.
  // Throws std::runtime_error when fork fails.
  Background(std::vector<std::string> argv, const std::filesystem::path& output);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Ends the child and waits for it; later calls do nothing.
  void stop();

 private:
  pid_t pid_ = -1;
};

}  // namespace kestro::bench
