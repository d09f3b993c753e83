// The host facilities the installer uses: running programs, running shell
// command lines, and a few facts about the machine and where its files are.
//
// Each is a small abstract interface so tests can substitute recording fakes
// and exercise every branch of host preparation without root and without
// touching the real /etc/sysctl.conf or installing anything. The real
// implementations are returned by real_host().
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrap/host/files.h"

namespace bootstrap::host {

// A program could not be started, or a host file could not be used.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs a program by name (found through PATH) with an argument list, without a
// shell, and captures its standard output. Its error output goes to our
// console; its exit status is returned but callers may ignore it.
class ProcessRunner {
 public:
  struct Result {
    int exit_status = 0;  // 128+N when killed by signal N
    std::string output;   // standard output, as bytes
  };
  virtual ~ProcessRunner() = default;
  // Throws HostError when the program cannot be started (not on PATH, not
  // executable).
  virtual Result run(const std::string& program, const std::vector<std::string>& args) = 0;
};

// Runs one command line through /bin/sh -c, with the console as its standard
// input, output and error, and waits for it.
class ShellRunner {
 public:
  virtual ~ShellRunner() = default;
  // Returns the exit status (128+N when killed by signal N). Throws HostError
  // when the shell cannot be started.
  virtual int run(const std::string& command_line) = 0;
};

// Facts about the machine.
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // The operating-system family in lower case: "linux" on Linux.
  virtual std::string platform_name() = 0;
  // Logical CPUs this process may run on (at least 1).
  virtual unsigned cpu_count() = 0;
  // The operating-system family of the process model: "posix" here.
  virtual std::string os_family() = 0;
  // The kernel's own name and release, as uname(2) gives them: "Linux",
  // "6.1.0-18-amd64".
  virtual std::string system_name() = 0;
  virtual std::string kernel_release() = 0;
};

// Everything host preparation needs, by reference; paths are fields so tests
// can point them into a temporary folder.
struct Host {
  ProcessRunner& process;
  ShellRunner& shell;
  SystemInfo& system;
  Files& files;
  std::filesystem::path sysctl_conf = "/etc/sysctl.conf";
  std::filesystem::path os_release = "/etc/os-release";
  std::filesystem::path apt_keyrings = "/etc/apt/keyrings";
};

// A ShellRunner for dry runs: prints "would run: <command line>" and answers
// success without running anything.
class DryRunShellRunner : public ShellRunner {
 public:
  int run(const std::string& command_line) override;
};

// The real host: fork/exec runners, uname/sched_getaffinity facts, the real
// files and paths. One instance for the process.
Host& real_host();

}  // namespace bootstrap::host
