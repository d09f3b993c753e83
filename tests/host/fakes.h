// Recording fakes of the host facilities, and a host whose files live in a
// temporary folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bootstrap/host/host.h"

namespace bootstrap::fakes {

// Answers programs from a table keyed by the command line ("sysctl
// vm.max_map_count"). A program without an entry cannot be started, as if it
// were not on PATH.
struct FakeProcessRunner : host::ProcessRunner {
  Result run(const std::string& program, const std::vector<std::string>& args) override {
    std::string line = program;
    for (const std::string& arg : args) line += " " + arg;
    commands_ran_.push_back(line);
    auto answer = answers_.find(line);
    if (answer == answers_.end())
      throw host::HostError("cannot run " + program + ": No such file or directory");
    return answer->second;
  }
  std::map<std::string, Result> answers_;
  std::vector<std::string> commands_ran_;
};

// Records command lines and answers each with its status from `exit_status_`
// (0 when absent). With `echo_` it also writes "$ <line>" to standard output,
// standing in for the command's own output so tests can see the order of our
// messages and the commands.
struct FakeShellRunner : host::ShellRunner {
  int run(const std::string& command_line) override {
    commands_ran_.push_back(command_line);
    if (echo_) std::cout << "$ " << command_line << std::endl;
    auto status = exit_status_.find(command_line);
    return status == exit_status_.end() ? 0 : status->second;
  }
  std::map<std::string, int> exit_status_;
  std::vector<std::string> commands_ran_;
  bool echo_ = false;
};

struct FakeSystemInfo : host::SystemInfo {
  std::string platform_name() override { return platform_; }
  unsigned cpu_count() override { return 4; }
  std::string os_family() override { return "posix"; }
  std::string system_name() override { return "Linux"; }
  std::string kernel_release() override { return "6.1.0-18-amd64"; }
  std::string platform_ = "linux";
};

// A fresh folder under the temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "host_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Fakes wired into a Host whose settings file and os-release are in a
// temporary folder; the keyring folder keeps its real name, as nothing here
// touches it.
struct FakeHost {
  FakeProcessRunner process;
  FakeShellRunner shell;
  FakeSystemInfo system;
  TempDir dir;
  host::Host host{.process = process,
                  .shell = shell,
                  .system = system,
                  .sysctl_conf = dir.path() / "sysctl.conf",
                  .os_release = dir.path() / "os-release"};
};

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The file's bytes, or nullopt when it does not exist.
inline std::optional<std::string> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace bootstrap::fakes
