#include "bench/quiet_host.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace kestro::bench {

namespace {

std::filesystem::path make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestro_bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

bootstrap::host::ProcessRunner::Result QuietProcessRunner::run(
    const std::string& program, const std::vector<std::string>& args) {
  if (program == "docker" && args == std::vector<std::string>{"--version"})
    return {0, "Docker version 20.10.24, build 297e128\n"};
  if (program == "sysctl" && args == std::vector<std::string>{"vm.max_map_count"})
    return {0, "vm.max_map_count = 262144\n"};
  throw bootstrap::host::HostError("cannot run " + program + ": not available in the benchmark host");
}

int QuietShellRunner::run(const std::string&) { return 127; }

unsigned QuietSystemInfo::cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<unsigned>(n) : 1U;
}

std::string QuietSystemInfo::kernel_release() {
  struct utsname u {};
  if (::uname(&u) != 0) return "";
  return u.release;
}

QuietHost::QuietHost()
    : dir(make_temp_dir()),
      host{.process = process,
           .shell = shell,
           .system = system,
           .files = bootstrap::host::real_files(),
           .sysctl_conf = dir / "sysctl.conf",
           .os_release = dir / "os-release",
           .apt_keyrings = dir / "keyrings"} {
  write_file(host.sysctl_conf, "vm.max_map_count=262144\n");
  write_file(host.os_release, "NAME=\"Debian GNU/Linux\"\nVERSION_CODENAME=bookworm\n");
}

QuietHost::~QuietHost() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace kestro::bench
