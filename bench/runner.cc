#include "bench/runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kestro::bench {

std::vector<double> Series::get(const std::function<double(const Sample&)>& figure) const {
  std::vector<double> v;
  for (const Sample& s : samples) v.push_back(figure(s));
  return v;
}

std::vector<double> Series::wall() const { return get([](const Sample& s) { return s.wall_ms; }); }

std::vector<double> Series::cpu() const { return get([](const Sample& s) { return s.cpu_ms; }); }

std::vector<double> Series::rss() const { return get([](const Sample& s) { return s.maxrss_mb; }); }

std::vector<double> Series::child(const char* key) const {
  return get([key](const Sample& s) { return s.child.value(key, 0.0); });
}

std::vector<double> Series::overhead_ms() const {
  return get([](const Sample& s) { return s.wall_ms - s.child.value("engine_wait_ms", 0.0); });
}

std::vector<double> Series::overhead_pct() const {
  return get([](const Sample& s) {
    return 100.0 * (s.wall_ms - s.child.value("engine_wait_ms", 0.0)) / s.wall_ms;
  });
}

std::vector<double> Series::op_overhead_pct() const {
  return get([](const Sample& s) {
    double op = s.child.value("op_ms", 0.0);
    return op > 0 ? 100.0 * (op - s.child.value("engine_wait_ms", 0.0)) / op : 0.0;
  });
}

namespace {

double tv_ms(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

std::string log_tail(const fs::path& log) {
  std::ifstream f(log);
  std::stringstream all;
  all << f.rdbuf();
  std::string text = all.str();
  if (text.size() > 2000) text = text.substr(text.size() - 2000);
  return text;
}

}  // namespace

Runner::Runner(fs::path out, std::string self, std::string compose)
    : out_(std::move(out)), self_(std::move(self)), compose_(std::move(compose)) {
  fs::create_directories(out_ / "logs");
  fs::create_directories(out_ / "results");
}

fs::path Runner::next_log(const std::string& label) {
  ++step_;
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%03d-", step_);
  return out_ / "logs" / (prefix + label + ".log");
}

namespace {

// Starts argv[0] with stdin from /dev/null and stdout and stderr into
// `output`, killed by SIGALRM after `timeout_s` seconds unless that is 0.
// The arguments are made before fork: between fork and exec only
// async-signal-safe calls are allowed.
pid_t spawn(const std::vector<char*>& argv, const std::string& output, unsigned timeout_s) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int nul = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || nul < 0) ::_exit(126);
    ::dup2(nul, 0);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);
    ::close(nul);
    if (timeout_s > 0) ::alarm(timeout_s);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

Sample Runner::run(std::vector<std::string> argv, const std::string& label, bool ours_result,
                   unsigned timeout_s) {
  fs::path log = next_log(label);
  fs::path result = out_ / "results" / (log.stem().string() + ".json");
  if (ours_result) {
    argv.push_back("--result");
    argv.push_back(result.string());
  }
  // Everything the child needs is made before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::string log_path = log.string();

  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  const pid_t pid = spawn(cargv, log_path, timeout_s);
  int status = 0;
  rusage ru{};
  while (::wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) throw std::runtime_error(std::string("wait4: ") + std::strerror(errno));
  }
  std::chrono::steady_clock::time_point t1 = std::chrono::steady_clock::now();

  Sample s;
  s.wall_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
  s.user_ms = tv_ms(ru.ru_utime);
  s.sys_ms = tv_ms(ru.ru_stime);
  s.cpu_ms = s.user_ms + s.sys_ms;
  s.maxrss_mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (ours_result && fs::exists(result)) {
    std::ifstream f(result);
    s.child = Json::parse(f, nullptr, false);
  }
  if (s.status != 0)
    throw std::runtime_error(label + " failed with status " + std::to_string(s.status) + " (log " +
                             log_path + "):\n" + log_tail(log));
  return s;
}

Sample Runner::ours(const std::vector<std::string>& args, const std::string& label,
                    bool measured) {
  std::vector<std::string> argv{self_};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, label, measured);
}

Sample Runner::compose(const std::string& file, const std::vector<std::string>& args,
                       const std::string& label) {
  std::vector<std::string> argv{compose_, "--ansi", "never", "-p", "lumadex", "-f", file};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, label, false);
}

void Runner::clean() { ours({"clean"}, "clean", false); }

void Runner::check(int expected) { ours({"check", std::to_string(expected)}, "check", false); }

Background::Background(std::vector<std::string> argv, const fs::path& output) {
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::string out = output.string();
  pid_ = spawn(cargv, out, 0);
}

Background::~Background() { stop(); }

void Background::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace kestro::bench
