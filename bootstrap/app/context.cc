#include "bootstrap/app/context.h"

#include <cstdlib>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/host/operation_lock.h"
#include "bootstrap/host/registry_credentials.h"

namespace bootstrap::app {

namespace {

// The variable's value when it is set and not empty.
std::optional<std::string> given(const Context::Lookup& lookup, const char* name) {
  std::optional<std::string> value = lookup(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

OperationLog::Settings log_settings(const Context::Lookup& lookup) {
  OperationLog::Settings settings;
  if (std::optional<std::string> file = given(lookup, "KESTRO_LOG_FILE")) settings.file = *file;
  // A lower limit lets tests see a rotation.
  if (std::optional<std::string> limit = given(lookup, "KESTRO_LOG_ROTATE_BYTES")) {
    char* end = nullptr;
    unsigned long long bytes = std::strtoull(limit->c_str(), &end, 10);
    if (*end == '\0' && bytes > 0) settings.rotate_at = bytes;
  }
  settings.sudo_user = given(lookup, "SUDO_USER").value_or("");
  return settings;
}

host::Host host_for(host::Host& real, host::ShellRunner& shell, host::Files& files,
                    const Output& output) {
  return host::Host{real.process, shell,           real.system,       files,
                    real.sysctl_conf, real.os_release, real.apt_keyrings, output};
}

}  // namespace

Context::Context(const Lookup& lookup, bool tty, std::ostream& out, std::ostream& err)
    :  // NO_COLOR set to any non-empty value turns colour off (no-color.org).
      output{out, err, Terminal{tty, tty && !given(lookup, "NO_COLOR")}},
      log(log_settings(lookup)),
      lock_file(given(lookup, "KESTRO_LOCK_FILE").value_or(host::kOperationLockPath)),
      docker_config(host::docker_config_path(lookup("DOCKER_CONFIG"), lookup("HOME"))),
      search_path(lookup("PATH").value_or("")),
      describing_shell_(described, output),
      describing_files_(host::real_host().files, out, described),
      real_host_(host_for(host::real_host(), host::real_host().shell, host::real_host().files,
                          output)),
      describing_host_(host_for(host::real_host(), describing_shell_, describing_files_,
                                output)) {
  try {
    engine_ = docker::ClientConfig::from_environment(lookup);
  } catch (const docker::ConfigError&) {
    // Thrown again when a command needs the engine, which reports it.
    engine_error_ = std::current_exception();
  }
}

const docker::ClientConfig& Context::engine_config() const {
  if (!engine_) std::rethrow_exception(engine_error_);
  return *engine_;
}

std::unique_ptr<docker::DockerClient> Context::connect() const {
  if (engine_record == nullptr) return docker::DockerClient::from_config(engine_config());
  docker::RequestRecord& record = *engine_record;
  return docker::DockerClient::from_config(
      engine_config(),
      [&record](std::unique_ptr<docker::Transport> curl) -> std::unique_ptr<docker::Transport> {
        return std::make_unique<docker::LoggingTransport>(std::move(curl), record);
      });
}

}  // namespace bootstrap::app
