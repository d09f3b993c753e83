// The real host facilities: programs started with posix_spawnp, facts from
// uname(2) and sched_getaffinity(2).

#include "bootstrap/host/host.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

namespace bootstrap::host {
namespace {

std::string error_text(int error) { return std::strerror(error); }

// Our own buffered lines must reach the console before anything the child
// writes to the same descriptors.
void flush_console() {
  std::cout.flush();
  std::fflush(stdout);
}

// Closes a descriptor on scope exit unless released.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Owns a posix_spawn_file_actions_t.
class FileActions {
 public:
  FileActions() { ::posix_spawn_file_actions_init(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// argv for posix_spawn: pointers into `words`, which must outlive it.
std::vector<char*> make_argv(std::vector<std::string>& words) {
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// Waits for `pid` and turns its wait status into an exit status, 128+N for a
// child killed by signal N.
int wait_for(pid_t pid, const std::string& program) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw HostError("cannot wait for " + program + ": " + error_text(errno));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 128;
}

class RealProcessRunner : public ProcessRunner {
 public:
  Result run(const std::string& program, const std::vector<std::string>& args) override {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
      throw HostError("cannot run " + program + ": " + error_text(errno));
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);

    // The child gets the pipe's write end as its standard output; dup2 clears
    // close-on-exec on the copy, every other pipe descriptor closes at exec.
    FileActions actions;
    int rc = ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
    if (rc != 0) throw HostError("cannot run " + program + ": " + error_text(rc));

    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = make_argv(words);

    flush_console();
    pid_t pid = 0;
    rc = ::posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) throw HostError("cannot run " + program + ": " + error_text(rc));
    write_end.reset();

    Result result;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
      if (n > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        int error = errno;
        read_end.reset();
        wait_for(pid, program);
        throw HostError("cannot read the output of " + program + ": " + error_text(error));
      }
    }
    result.exit_status = wait_for(pid, program);
    return result;
  }
};

class RealShellRunner : public ShellRunner {
 public:
  int run(const std::string& command_line) override {
    std::vector<std::string> words = {"sh", "-c", command_line};
    std::vector<char*> argv = make_argv(words);
    flush_console();
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw HostError("cannot run /bin/sh: " + error_text(rc));
    return wait_for(pid, "/bin/sh");
  }
};

class RealSystemInfo : public SystemInfo {
 public:
  std::string platform_name() override {
#if defined(__linux__)
    return "linux";
#elif defined(__APPLE__)
    return "darwin";
#else
    std::string name = system_name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
#endif
  }

  unsigned cpu_count() override {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
      int count = CPU_COUNT(&set);
      if (count > 0) return static_cast<unsigned>(count);
    }
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
  }

  std::string os_family() override { return "posix"; }

  std::string system_name() override {
    struct utsname names;
    if (::uname(&names) != 0) return "";
    return names.sysname;
  }

  std::string kernel_release() override {
    struct utsname names;
    if (::uname(&names) != 0) return "";
    return names.release;
  }
};

}  // namespace

int DryRunShellRunner::run(const std::string& command_line) {
  std::cout << "would run: " << command_line << std::endl;
  return 0;
}

Host& real_host() {
  static RealProcessRunner process;
  static RealShellRunner shell;
  static RealSystemInfo system;
  static Host host{process, shell, system, real_files()};
  return host;
}

}  // namespace bootstrap::host
