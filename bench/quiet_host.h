// QuietHost: host facilities for the benchmarks, so that host preparation
// (Docker presence, vm.max_map_count) answers at once without running
// programs or touching /etc: `docker --version` answers with a banner,
// `sysctl vm.max_map_count` answers 262144, and the settings file (in a fresh
// temporary folder, removed with the object) already has the setting. Any
// other program "cannot be started"; shell lines are refused with status 127.
#pragma once

#include <filesystem>

#include "bootstrap/host/host.h"

namespace kestro::bench {

class QuietProcessRunner : public bootstrap::host::ProcessRunner {
 public:
  Result run(const std::string& program, const std::vector<std::string>& args) override;
};

class QuietShellRunner : public bootstrap::host::ShellRunner {
 public:
  int run(const std::string& command_line) override;
};

class QuietSystemInfo : public bootstrap::host::SystemInfo {
 public:
  std::string platform_name() override { return "linux"; }
  unsigned cpu_count() override;
  std::string os_family() override { return "posix"; }
  std::string system_name() override { return "Linux"; }
  std::string kernel_release() override;
};

class QuietHost {
 public:
  QuietHost();
  ~QuietHost();
  QuietHost(const QuietHost&) = delete;
  QuietHost& operator=(const QuietHost&) = delete;

  QuietProcessRunner process;
  QuietShellRunner shell;
  QuietSystemInfo system;
  std::filesystem::path dir;
  bootstrap::host::Host host;
};

}  // namespace kestro::bench
