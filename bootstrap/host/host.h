// The host facilities the installer uses: running programs, running shell
// command lines, and a few facts about the machine and where its files are.
//
// Each is a small abstract interface so tests can substitute recording fakes
// and exercise every branch of host preparation without root and without
// touching the real /etc/sysctl.conf or installing anything. The real
// implementations are returned by real_host().
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrap/base/console.h"
#include "bootstrap/host/files.h"

namespace bootstrap::host {

// A program could not be started, or a host file could not be used.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where every program we start is looked for, and the PATH it is given: the
// caller's PATH is never used, so a folder another account can write to
// (/usr/local/bin is the staff group's on Debian) cannot put a program of its
// own in front of the system's.
inline constexpr const char* kProgramPath = "/usr/sbin:/usr/bin:/sbin:/bin";

// Runs a program by name (found through kProgramPath) with an argument list,
// without a shell, and captures its standard output. Its error output goes to
// our console; its exit status is returned but callers may ignore it. The
// program inherits standard input and error and no other descriptor.
class ProcessRunner {
 public:
  struct Result {
    int exit_status = 0;  // 128+N when killed by signal N
    std::string output;   // standard output, as bytes
  };
  virtual ~ProcessRunner() = default;
  // Throws HostError when the program cannot be started (not in
  // kProgramPath, not executable).
  virtual Result run(const std::string& program, const std::vector<std::string>& args) = 0;
  // The same with `input` as the program's whole standard input. Throws as
  // run() does, and HostError when the input cannot be written.
  virtual Result run_with_input(const std::string& program, const std::vector<std::string>& args,
                                const std::string& input) = 0;
};

// Runs the commands that change the host, with the console as their standard
// input, output and error, and waits for each: a command line through
// /bin/sh -c, or a program (found through kProgramPath) with its arguments and
// no shell. Children get PATH=kProgramPath and no descriptor beyond the
// console's three.
class ShellRunner {
 public:
  virtual ~ShellRunner() = default;
  // Returns the exit status (128+N when killed by signal N). Throws HostError
  // when the shell cannot be started.
  virtual int run(const std::string& command_line) = 0;
  // Returns the exit status as run() does. Throws HostError when the program
  // cannot be started.
  virtual int run_program(const std::string& program, const std::vector<std::string>& args) = 0;
  // Whether the commands really run: false for a runner that only describes
  // them, where nothing they would make can be looked at afterwards.
  virtual bool changes_host() const { return true; }
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
  // Whether this process runs with root's effective user id.
  virtual bool is_root() = 0;
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
  // Where host preparation prints its lines (coloured ones only when the
  // console's terminal allows colour).
  const base::Console& console = base::Console::standard();
};

// A ShellRunner for dry runs: prints "would run: <command line>" on its
// console (for a
// program, its name and arguments joined by blanks) and answers success
// without running anything; counts each in `described` when given.
class DryRunShellRunner : public ShellRunner {
 public:
  explicit DryRunShellRunner(std::shared_ptr<std::atomic<int>> described = nullptr,
                             const base::Console& console = base::Console::standard())
      : described_(std::move(described)), console_(console) {}
  int run(const std::string& command_line) override;
  int run_program(const std::string& program, const std::vector<std::string>& args) override;
  bool changes_host() const override { return false; }

 private:
  std::shared_ptr<std::atomic<int>> described_;
  const base::Console& console_;
};

// The real host: posix_spawn runners, uname/sched_getaffinity/geteuid facts,
// the real files and paths. One instance for the process.
Host& real_host();

}  // namespace bootstrap::host
