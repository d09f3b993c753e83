// FakeHost: the host facilities of bootstrap::host as recording fakes, for
// tests and benchmarks of the deployment engine that must not run programs,
// install anything or touch /etc. Built without GoogleTest, so the benchmark
// links it even when the tests are not built.
//
// By default the host looks prepared: `docker --version` answers with its
// banner, `sysctl vm.max_map_count` answers 262144, gpg shows Docker's key in
// the downloaded key file, and the settings file (in
// a fresh temporary folder, removed with the object) already has the line
// "vm.max_map_count=262144", so host preparation prints nothing and runs no
// shell command. FakeHost::bare() is a host where no program answers and no
// file exists until a test says so, for the tests of host preparation itself.
// Tests change the answers to walk other paths.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bootstrap/host/host.h"

namespace bootstrap::testing {

// Answers programs from `answers_`, keyed by the command line ("docker
// --version"). A program without an answer cannot be started (HostError), as
// if it were not on PATH. Every run is recorded in `commands_ran_`.
class FakeProcessRunner : public host::ProcessRunner {
 public:
  Result run(const std::string& program, const std::vector<std::string>& args) override;
  // Answers as run() does and records the input in `inputs_`.
  Result run_with_input(const std::string& program, const std::vector<std::string>& args,
                        const std::string& input) override;

  std::map<std::string, Result> answers_;
  std::vector<std::string> commands_ran_;
  std::vector<std::string> inputs_;
};

// Records every command line in `commands_ran_` and answers with the status
// from `exit_status_`, or `unlisted_status_` (0 unless set) when the line has
// no entry. A program run without a shell is recorded as its name and
// arguments joined by blanks, and cannot be started (HostError) when its name
// is in `missing_programs_`. With `echo_` it also prints "$ <line>" on
// standard output, standing in for the command's own output so tests can see
// the order of our messages and the commands.
class RecordingShellRunner : public host::ShellRunner {
 public:
  int run(const std::string& command_line) override;
  int run_program(const std::string& program, const std::vector<std::string>& args) override;

  std::vector<std::string> commands_ran_;
  std::map<std::string, int> exit_status_;
  int unlisted_status_ = 0;
  bool echo_ = false;
  std::vector<std::string> missing_programs_;
};

class FakeSystemInfo : public host::SystemInfo {
 public:
  std::string platform_name() override { return platform_; }
  unsigned cpu_count() override { return cpu_count_; }
  std::string os_family() override { return "posix"; }
  std::string system_name() override { return "Linux"; }
  std::string kernel_release() override { return "6.1.0-18-amd64"; }
  bool is_root() override { return root_; }

  std::string platform_ = "linux";
  unsigned cpu_count_ = 4;
  bool root_ = true;
};

class FakeHost {
 public:
  static constexpr const char* kDockerBanner = "Docker version 20.10.24, build 297e128\n";
  static constexpr const char* kMapCountAnswer = "vm.max_map_count = 262144\n";

  FakeHost();
  // A bare host: no program answers, the settings file and os-release do not
  // exist, and the keyring folder keeps its real name (nothing touches it).
  static FakeHost bare() { return FakeHost(Start::kBare); }
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // Makes `docker --version` fail to start, as on a host without Docker.
  void remove_docker() { process.answers_.erase("docker --version"); }
  // The command line that shows the downloaded Docker key.
  std::string gpg_command() const;
  // Makes gpg show the downloaded Docker key as `listing` (its colon
  // format), with the exit status given.
  void show_docker_key(const std::string& listing, int exit_status = 0);
  // gpg's colon listing of a key with the given primary fingerprint and one
  // subkey.
  static std::string key_listing(const std::string& fingerprint);

  FakeProcessRunner process;
  RecordingShellRunner shell;
  FakeSystemInfo system;
  std::filesystem::path dir_;  // the temporary folder holding the host's files
  host::Host host;

 private:
  enum class Start { kPrepared, kBare };
  explicit FakeHost(Start start);
};

}  // namespace bootstrap::testing
