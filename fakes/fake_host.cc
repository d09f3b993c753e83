#include "fakes/fake_host.h"

#include "bootstrap/host/docker_setup.h"

#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace bootstrap::testing {

namespace {

std::filesystem::path make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fake_host.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

host::ProcessRunner::Result FakeProcessRunner::run(const std::string& program,
                                                   const std::vector<std::string>& args) {
  std::string line = program;
  for (const std::string& arg : args) line += " " + arg;
  commands_ran_.push_back(line);
  auto answer = answers_.find(line);
  if (answer == answers_.end())
    throw host::HostError("cannot run " + program + ": No such file or directory");
  return answer->second;
}

host::ProcessRunner::Result FakeProcessRunner::run_with_input(const std::string& program,
                                                              const std::vector<std::string>& args,
                                                              const std::string& input) {
  inputs_.push_back(input);
  return run(program, args);
}

int RecordingShellRunner::run(const std::string& command_line) {
  commands_ran_.push_back(command_line);
  if (echo_) std::cout << "$ " << command_line << std::endl;
  auto status = exit_status_.find(command_line);
  return status == exit_status_.end() ? unlisted_status_ : status->second;
}

int RecordingShellRunner::run_program(const std::string& program,
                                      const std::vector<std::string>& args) {
  for (const std::string& missing : missing_programs_)
    if (missing == program)
      throw host::HostError("cannot run " + program + ": No such file or directory");
  std::string line = program;
  for (const std::string& arg : args) line += " " + arg;
  return run(line);
}

FakeHost::FakeHost() : FakeHost(Start::kPrepared) {}

std::string FakeHost::gpg_command() const {
  return "gpg --batch --no-options --no-keyring --trust-model always --with-colons --show-keys " +
         (host.apt_keyrings / "docker.asc.download").string();
}

void FakeHost::show_docker_key(const std::string& listing, int exit_status) {
  process.answers_[gpg_command()] = {exit_status, listing};
}

std::string FakeHost::key_listing(const std::string& fingerprint) {
  return "pub:-:4096:1:" + fingerprint.substr(24) + ":1487788586:::-:::scESC::::::23::0:\n"
         "fpr:::::::::" + fingerprint + ":\n"
         "uid:-::::1487788586::::Docker Release (CE deb) <docker@docker.com>::::::::::0:\n"
         "sub:-:4096:1:0123456789ABCDEF:1487791595:::-:::s::::::23:\n"
         "fpr:::::::::0123456789ABCDEF0123456789ABCDEF01234567:\n";
}

FakeHost::FakeHost(Start start)
    : dir_(make_temp_dir()),
      host{.process = process,
           .shell = shell,
           .system = system,
           .files = host::real_files(),
           .sysctl_conf = dir_ / "sysctl.conf",
           .os_release = dir_ / "os-release",
           .apt_keyrings = dir_ / "keyrings"} {
  if (start == Start::kBare) {
    host.apt_keyrings = "/etc/apt/keyrings";
    return;
  }
  process.answers_["docker --version"] = {0, kDockerBanner};
  process.answers_["sysctl vm.max_map_count"] = {0, kMapCountAnswer};
  process.answers_["dpkg --print-architecture"] = {0, "amd64\n"};
  show_docker_key(key_listing(host::kDockerKeyFingerprint));
  write_file(host.sysctl_conf, "vm.max_map_count=262144\n");
  write_file(host.os_release, "NAME=\"Ubuntu\"\nVERSION_CODENAME=jammy\nUBUNTU_CODENAME=jammy\n");
}

FakeHost::~FakeHost() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace bootstrap::testing
