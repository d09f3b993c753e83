// The real host facilities: programs started with posix_spawn, facts from
// uname(2), sched_getaffinity(2) and geteuid(2).

#include "bootstrap/host/host.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string_view>
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
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Owns a posix_spawn_file_actions_t. Every child gets only the descriptors
// 0 to 2: libcurl keeps sockets of its own open without close-on-exec (the
// wake-up pair of its transfer loop), and apt, dpkg's maintainer scripts or
// a shell have no business holding the engine's connections.
class FileActions {
 public:
  // `standard_output`, when not negative, becomes the child's descriptor 1.
  // Throws HostError when the actions cannot be recorded.
  // `standard_input`, when not negative, becomes its descriptor 0.
  FileActions(const std::string& program, int standard_output = -1, int standard_input = -1)
      : program_(program) {
    ::posix_spawn_file_actions_init(&actions_);
    // The actions run in order: the copy has to be made before the original
    // is closed with the rest.
    if (standard_output >= 0)
      check(::posix_spawn_file_actions_adddup2(&actions_, standard_output, STDOUT_FILENO));
    if (standard_input >= 0)
      check(::posix_spawn_file_actions_adddup2(&actions_, standard_input, STDIN_FILENO));
    check(::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1));
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  void check(int rc) {
    if (rc != 0) {
      ::posix_spawn_file_actions_destroy(&actions_);
      throw HostError("cannot run " + program_ + ": " + error_text(rc));
    }
  }
  std::string program_;
  posix_spawn_file_actions_t actions_;
};

// The program's file: a name with a slash as it is, a bare name looked up in
// kProgramPath. Throws HostError when no executable file is found.
std::string program_file(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  std::string_view folders = kProgramPath;
  while (!folders.empty()) {
    std::size_t colon = folders.find(':');
    std::string candidate = std::string(folders.substr(0, colon)) + "/" + program;
    folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  throw HostError("cannot run " + program + ": " + error_text(ENOENT));
}

// Our environment with PATH replaced by kProgramPath: a shell command line's
// own lookups, and those of the programs it runs, see the same folders ours do.
class ChildEnvironment {
 public:
  ChildEnvironment() {
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (!std::string_view(*entry).starts_with("PATH=")) entries_.emplace_back(*entry);
    entries_.push_back(std::string("PATH=") + kProgramPath);
    for (std::string& entry : entries_) pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
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

// Writes a child's standard input. A child that exits without reading it
// must not end this process with SIGPIPE: the signal is held back for the
// write and a pending one consumed; the child's answer says the rest.
void write_input(int fd, std::string_view rest) {
  sigset_t pipe_signal, before;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  bool broken = false;
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      broken = errno == EPIPE;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (broken) {
    const struct timespec now {};
    ::sigtimedwait(&pipe_signal, nullptr, &now);
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

class RealProcessRunner : public ProcessRunner {
 public:
  Result run(const std::string& program, const std::vector<std::string>& args) override {
    return run_program(program, args, nullptr);
  }

  Result run_with_input(const std::string& program, const std::vector<std::string>& args,
                        const std::string& input) override {
    return run_program(program, args, &input);
  }

 private:
  Result run_program(const std::string& program, const std::vector<std::string>& args,
                     const std::string* input) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
      throw HostError("cannot run " + program + ": " + error_text(errno));
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    Fd input_read;
    Fd input_write;
    if (input != nullptr) {
      if (::pipe2(fds, O_CLOEXEC) < 0)
        throw HostError("cannot run " + program + ": " + error_text(errno));
      input_read = Fd(fds[0]);
      input_write = Fd(fds[1]);
    }

    // The child gets the pipe's write end as its standard output; dup2 clears
    // close-on-exec on the copy, every other pipe descriptor closes at exec.
    const std::string file = program_file(program);
    FileActions actions(program, write_end.get(), input_read.get());

    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = make_argv(words);

    flush_console();
    pid_t pid = 0;
    ChildEnvironment environment;
    int rc = ::posix_spawn(&pid, file.c_str(), actions.get(), nullptr, argv.data(),
                           environment.get());
    if (rc != 0) throw HostError("cannot run " + program + ": " + error_text(rc));
    write_end.reset();
    input_read.reset();
    // The input is small (a registry's name): it fits the pipe, so writing
    // it whole before reading the output cannot deadlock.
    if (input != nullptr) {
      write_input(input_write.get(), *input);
      input_write.reset();
    }

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

// Starts `file` with the console and waits for it.
int run_attached(const std::string& program, const std::string& file,
                 std::vector<std::string> words) {
  std::vector<char*> argv = make_argv(words);
  FileActions actions(program);
  ChildEnvironment environment;
  flush_console();
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, file.c_str(), actions.get(), nullptr, argv.data(),
                         environment.get());
  if (rc != 0) throw HostError("cannot run " + program + ": " + error_text(rc));
  return wait_for(pid, program);
}

class RealShellRunner : public ShellRunner {
 public:
  int run(const std::string& command_line) override {
    return run_attached("/bin/sh", "/bin/sh", {"sh", "-c", command_line});
  }

  int run_program(const std::string& program, const std::vector<std::string>& args) override {
    std::vector<std::string> words = {program};
    words.insert(words.end(), args.begin(), args.end());
    return run_attached(program, program_file(program), std::move(words));
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

  bool is_root() override { return ::geteuid() == 0; }
};

}  // namespace

int DryRunShellRunner::run(const std::string& command_line) {
  console_.say("would run: " + command_line);
  if (described_) ++*described_;
  return 0;
}

int DryRunShellRunner::run_program(const std::string& program,
                                   const std::vector<std::string>& args) {
  std::string line = program;
  for (const std::string& arg : args) line += " " + arg;
  return run(line);
}

Host& real_host() {
  static RealProcessRunner process;
  static RealShellRunner shell;
  static RealSystemInfo system;
  static Host host{process, shell, system, real_files()};
  return host;
}

}  // namespace bootstrap::host
