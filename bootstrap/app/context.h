// Context: what every command runs with, made once by main.
//
// main reads the process environment and the terminal once, into one
// Context, and hands it to the command it runs; the commands, and the
// libraries they call, take what they need from it (or from the objects it
// builds) and read neither themselves. It holds the engine's configuration,
// the host to work on (for a dry run, one that only describes its changes),
// the output with the terminal's facts, where the operation log and the host
// lock live, where the Docker client keeps registry credentials, and the
// dry-run choice.
//
// The variables it reads: the engine's (DOCKER_HOST and the others
// docker/config.h lists), KESTRO_LOG_FILE and KESTRO_LOG_ROTATE_BYTES (the
// operation log's file and size limit), KESTRO_LOCK_FILE (the host lock),
// SUDO_USER (named in the operation log), DOCKER_CONFIG, HOME and PATH (the
// Docker client's configuration and its credential helpers) and NO_COLOR.
#pragma once

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "bootstrap/app/operation_log.h"
#include "bootstrap/docker/config.h"
#include "bootstrap/base/console.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/logging_transport.h"
#include "bootstrap/host/files.h"
#include "bootstrap/host/host.h"

namespace bootstrap::app {

// The one way out for what a command prints (base/console.h).
using base::Terminal;
using Output = base::Console;

class Context {
 public:
  using Lookup = std::function<std::optional<std::string>(const char*)>;

  // Reads every variable through `lookup` (nullopt for an unset one), with
  // `tty` saying whether standard output is a terminal; prints on `out` and
  // `err`. Never throws: an unusable engine configuration is thrown by
  // engine_config() when a command needs the engine, unusable log settings
  // are ignored.
  Context(const Lookup& lookup, bool tty, std::ostream& out, std::ostream& err);
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  Output output;
  // The operator's choice to change nothing and print what would change;
  // set once the command line is read.
  bool dry_run = false;
  // Where the operation log goes and who ran sudo.
  OperationLog::Settings log;
  std::filesystem::path lock_file;
  // The Docker client's configuration file and the caller's PATH, where
  // registry credentials are looked for.
  std::string docker_config;
  std::string search_path;
  // In a dry run, each change described: by the engine clients, the
  // describing host, and a printed plan.
  std::shared_ptr<std::atomic<int>> described = std::make_shared<std::atomic<int>>(0);
  // Where the engine clients of a recorded operation report their requests;
  // null when the command keeps no record.
  docker::RequestRecord* engine_record = nullptr;
  // The registry password once read from standard input, which can be read
  // only once.
  std::optional<std::string> stdin_password;

  // The host the operations work on: the real one, or for a dry run one that
  // reads the real host and only describes what it would change.
  host::Host& host() { return dry_run ? describing_host_ : real_host_; }
  // The engine's configuration. Throws docker::ConfigError when the
  // environment names no usable engine.
  const docker::ClientConfig& engine_config() const;
  // A new client for that engine, reporting to engine_record when set.
  // Throws as engine_config().
  std::unique_ptr<docker::DockerClient> connect() const;

 private:
  std::optional<docker::ClientConfig> engine_;
  std::exception_ptr engine_error_;
  host::DryRunShellRunner describing_shell_;
  host::DescribingFiles describing_files_;
  host::Host real_host_;
  host::Host describing_host_;
};

}  // namespace bootstrap::app
