#include "bootstrap/app/app.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>

#include <signal.h>
#include <unistd.h>

#include <memory>

#include <CLI/CLI.hpp>

#include "bootstrap/app/build_info.h"
#include "bootstrap/app/compose_export.h"
#include "bootstrap/app/preflight.h"
#include "bootstrap/app/progress.h"
#include "bootstrap/app/status.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/dry_run_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/util/util.h"

namespace bootstrap::app {

namespace {

using installer::lumadex::LumadexInstaller;

// The command line named something that cannot be done; nothing was changed.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  std::optional<std::string> version;
  bool update = false;
  bool dry_run = false;
  std::string service;
  std::string count;
};

// A tag as the engine accepts one: a word character, then up to 127 word
// characters, dots and dashes.
void check_tag(const std::string& tag) {
  static const std::regex kTag("[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}");
  if (!std::regex_match(tag, kTag))
    throw UsageError("--version \"" + tag +
                     "\" is not an image tag (letters, digits, \"_\", \".\" and \"-\", "
                     "not starting with \".\" or \"-\", at most 128 characters)");
}

constexpr int kMaxCount = 1000;

int parse_count(const std::string& text) {
  bool digits = !text.empty() && text.size() <= 4 &&
                text.find_first_not_of("0123456789") == std::string::npos;
  int value = digits ? std::stoi(text) : -1;
  if (value < 0 || value > kMaxCount)
    throw UsageError("COUNT \"" + text + "\" is not a whole number from 0 to " +
                     std::to_string(kMaxCount));
  return value;
}

void check_service(const std::string& name) {
  if (LumadexInstaller::is_service(name)) return;
  std::string names;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    names += (names.empty() ? "" : ", ") + s.name;
  throw UsageError("SERVICE \"" + name + "\" is not one of the product's services: " + names);
}

void print_error(const std::string& text) { std::cerr << "error: " << text << std::endl; }

// Ctrl-C asks the engine client to abandon the request in flight and send no
// other, so the operation ends at once with what the engine finished left
// done. A second Ctrl-C ends the program the ordinary way.
void on_interrupt(int) { docker::request_interrupt(); }

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// What the product operations run against. A dry run reads the real engine
// through a client that only describes changes, and describes host changes
// through a shell runner that runs nothing; the operations themselves are the
// same code either way.
LumadexInstaller::Environment make_environment(bool dry_run) {
  host::Host& real = host::real_host();
  static host::DryRunShellRunner describing_shell;
  static host::Host dry_host{real.process, describing_shell, real.system, real.sysctl_conf,
                             real.os_release, real.apt_keyrings, true};

  auto make_client = [dry_run]() -> std::shared_ptr<docker::Client> {
    std::shared_ptr<docker::Client> client(docker::DockerClient::from_environment());
    if (dry_run) return std::make_shared<docker::DryRunClient>(client, std::cout);
    return client;
  };

  docker::PullProgress progress;
  if (!dry_run && ::isatty(STDOUT_FILENO)) {
    auto view = std::make_shared<PullProgressView>(std::cout, util::Util::color_enabled());
    progress = [view](const docker::PullEvent& event) { (*view)(event); };
  }
  return LumadexInstaller::Environment{dry_run ? dry_host : real, make_client, progress};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"Installs, updates, scales and removes the lumadex product on this host's "
               "Docker engine.",
               "bootstrap"};
  cli.set_version_flag("--version", version_line());
  cli.require_subcommand(1);
  cli.failure_message(CLI::FailureMessage::help);

  Options o;
  CLI::App* install = cli.add_subcommand(
      "install", "Prepare the host (Docker, vm.max_map_count) and bring every service up");
  install->add_option("--version", o.version, "Run the application image with this tag");
  install->add_flag("--update", o.update, "Fetch the untagged application image anew");
  CLI::App* update = cli.add_subcommand(
      "update",
      "Take the product down, remove its cache volumes, and install it again with fresh "
      "application images");
  CLI::App* uninstall = cli.add_subcommand(
      "uninstall",
      "Take every container and network down and remove the cache volumes (search and cache "
      "data stay)");
  CLI::App* scale = cli.add_subcommand(
      "scale", "Run COUNT containers of SERVICE, its own container included");
  scale->add_option("SERVICE", o.service, "A service of the product")->required();
  scale->add_option("COUNT", o.count, "How many containers, 1 for none but its own")->required();
  cli.add_subcommand("configure", "Raise the kernel's vm.max_map_count where it is too low");
  for (CLI::App* changing : {install, update, uninstall, scale})
    changing->add_flag("--dry-run", o.dry_run,
                       "Read the engine but change nothing: print each change as a line "
                       "starting with \"would \"");

  // Read-only commands: they ask the engine and the host, and change nothing.
  bool status_json = false;
  ExportRequest export_request;
  cli.add_subcommand("status",
                     "Show each service's container, the networks and the volumes as the "
                     "engine has them; exit 1 unless every service runs")
      ->add_flag("--json", status_json, "Print one JSON document instead of tables");
  cli.add_subcommand("preflight",
                     "Check the host and the engine before an install; exit 1 if a check fails");
  CLI::App* export_compose = cli.add_subcommand("export", "Write the services as a Compose file");
  export_compose->add_option("--version", export_request.version,
                             "Run the application image with this tag");
  export_compose->add_option("-o,--output", export_request.output,
                             "Write to this file instead of standard output");
  export_compose->add_flag("--force", export_request.force, "Replace the output file if it exists");
  export_compose
      ->add_option("--cpus", export_request.cpus,
                   "Resolve CPU sets for this many CPUs (default: the engine's count, else "
                   "this host's)")
      ->check(CLI::Range(1u, 4096u));

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = cli.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  const std::string command = cli.get_subcommands().front()->get_name();
  catch_interrupts();
  try {
    // Everything the operator typed is checked before anything changes.
    int count = 0;
    if (command == "install" && o.version) check_tag(*o.version);
    if (command == "scale") {
      check_service(o.service);
      count = parse_count(o.count);
    }

    if (command == "export" && export_request.version) check_tag(*export_request.version);
    // The read-only commands need no product object; each throws when it
    // fails, after printing what it found.
    if (command == "status") {
      status_command(std::cout, status_json);
      return kExitOk;
    }
    if (command == "preflight") {
      preflight_command(std::cout);
      return kExitOk;
    }
    if (command == "export") {
      export_command(export_request, std::cout);
      return kExitOk;
    }

    LumadexInstaller product(make_environment(o.dry_run));
    bool completed = true;
    if (command == "install")
      completed = product.install(o.version, o.update);
    else if (command == "update")
      completed = product.update();
    else if (command == "uninstall")
      product.uninstall();
    else if (command == "scale")
      product.scale(o.service, count);
    else if (command == "configure")
      product.configure();
    return completed ? kExitOk : kExitFailed;
  } catch (const UsageError& e) {
    print_error(e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    // Whatever the interrupted step threw (the engine client's Interrupted,
    // or a host command that died of the same Ctrl-C), the cause is the
    // operator's request.
    if (docker::interrupt_requested()) {
      std::cerr << "interrupted" << std::endl;
      return kExitInterrupted;
    }
    if (dynamic_cast<const docker::ConnectionError*>(&e))
      print_error(std::string(e.what()) +
                  " (is the Docker service running? try: systemctl status docker)");
    else
      print_error(e.what());
    return kExitFailed;
  }
}

}  // namespace bootstrap::app
