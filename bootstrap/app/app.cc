#include "bootstrap/app/app.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include <CLI/CLI.hpp>

#include "bootstrap/app/build_info.h"
#include "bootstrap/app/context.h"
#include "bootstrap/app/bundle_command.h"
#include "bootstrap/app/export_command.h"
#include "bootstrap/app/logs.h"
#include "bootstrap/app/operation_log.h"
#include "bootstrap/app/preflight.h"
#include "bootstrap/app/progress.h"
#include "bootstrap/app/status.h"
#include "bootstrap/app/swarm_status.h"
#include "bootstrap/base/image_reference.h"
#include "bootstrap/base/text.h"
#include "bootstrap/app/support_bundle.h"
#include "bootstrap/docker/config.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/dry_run_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/host/operation_lock.h"
#include "bootstrap/survey/privileges.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/outcome.h"
#include "bootstrap/installer/registry.h"
#include "bootstrap/host/registry_credentials.h"

namespace bootstrap::app {

namespace {

using installer::lumadex::LumadexInstaller;

// What the operator typed, once CLI11 has parsed and checked it: every
// command's options live here, each command reads its own.
struct Invocation {
  std::optional<std::string> version;
  bool update = false;
  bool dry_run = false;
  std::string service;
  int count = 0;
  bool status_json = false;
  bool preflight_json = false;
  ExportRequest export_request;
  int settle = 10;         // seconds
  int wait_timeout = 300;  // seconds
  LogsRequest logs;
  std::string bundle_output;
  int lock_timeout = 600;  // seconds
  std::optional<int> jobs;   // unset: jobs_for() chooses
  bool in_place = false;     // update: recreate only what changed
  bool no_rollback = false;  // install and update: leave a version that does not settle
  bool swarm = false;
  std::vector<std::string> placements;  // "SERVICE=NODE"
  bool routing_mesh = false;
  std::optional<std::string> bundle;  // install and update: the images come from this file
  std::string trust;                  // --trust: the public key a bundle must be signed with
  std::string bundle_action;          // "create" or "inspect"
  BundleCreateRequest bundle_create;
  std::string bundle_inspected;
  BundlePushRequest bundle_push;
  // --registry, made canonical as it is parsed ("" for docker.io).
  std::optional<std::string> registry;
  std::string registry_user;
  bool password_stdin = false;
};

// HOST[:PORT][/PREFIX], kept as canonical_registry makes it.
const CLI::Validator& registry_value() {
  static const CLI::Validator kRegistry(
      [](std::string& text) -> std::string {
        try {
          text = installer::canonical_registry(text);
          return {};
        } catch (const std::invalid_argument& e) {
          return e.what();
        }
      },
      "HOST[:PORT][/PREFIX]");
  return kRegistry;
}

void registry_options(CLI::App& command, Invocation& in) {
  command
      .add_option("--registry", in.registry,
                  "Fetch every image from this registry, under the catalogue's names "
                  "(docker.io: the public names again; default: the registry the product came "
                  "from)")
      ->check(registry_value());
  CLI::Option* user = command.add_option(
      "--registry-user", in.registry_user,
      "Log in to the registry as this user, with the password from standard input "
      "(default: the credentials of 'docker login')");
  CLI::Option* password =
      command.add_flag("--password-stdin", in.password_stdin,
                       "Read the registry password for --registry-user from standard input");
  user->needs(password);
  password->needs(user);
}

// --registry as canonical_registry makes it: CLI11 keeps what a check
// changes only when the change is not empty, so "docker.io" arrives as it
// was typed.
std::optional<std::string> chosen_registry(const Invocation& in) {
  if (!in.registry || in.registry->empty()) return in.registry;
  return installer::canonical_registry(*in.registry);
}

// The registry password, read once from standard input; one trailing line
// ending is not part of it, as `docker login --password-stdin` reads it.
std::optional<host::RegistryCredentials> given_credentials(Context& context,
                                                           const Invocation& in) {
  if (!in.password_stdin) return std::nullopt;
  std::optional<std::string>& password = context.stdin_password;
  if (!password) {
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (text.ends_with('\n')) text.pop_back();
    if (text.ends_with('\r')) text.pop_back();
    if (text.empty()) throw std::runtime_error("--password-stdin: standard input holds no password");
    password = std::move(text);
  }
  return host::RegistryCredentials{in.registry_user, *password, "--password-stdin"};
}

// A tag as the engine accepts one, by the rule a bundle's manifest is held to.
const CLI::Validator& image_tag() {
  static const CLI::Validator kTag(
      [](std::string& tag) -> std::string {
        if (base::is_image_tag(tag)) return {};
        return "\"" + tag +
               "\" is not an image tag (letters, digits, \"_\", \".\" and \"-\", not "
               "starting with \".\" or \"-\", at most 128 characters)";
      },
      "TAG");
  return kTag;
}

constexpr int kMaxCount = 1000;

// Checked on the text, before CLI11 converts it, so "2.5" and "1e3" are
// refused rather than rounded.
const CLI::Validator& container_count() {
  static const CLI::Validator kCount(
      [](std::string& text) -> std::string {
        bool digits = !text.empty() && text.size() <= 4 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
        if (digits && std::stoi(text) <= kMaxCount) return {};
        return "\"" + text + "\" is not a whole number from 0 to " + std::to_string(kMaxCount);
      },
      "0.." + std::to_string(kMaxCount));
  return kCount;
}

std::vector<std::string> service_names() {
  std::vector<std::string> names;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    names.push_back(s.name);
  return names;
}

// How many single-character insertions, deletions and substitutions turn
// one word into the other (Levenshtein).
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The name the operator most likely meant: the nearest by edit distance, if
// it is near enough that the typo is plausible (at most two edits, and fewer
// than the word's own length).
std::optional<std::string> nearest(const std::string& typed,
                                   const std::vector<std::string>& names) {
  std::optional<std::string> best;
  std::size_t best_distance = 3;
  for (const std::string& name : names) {
    std::size_t d = edit_distance(typed, name);
    if (d < best_distance && d < name.size()) best = name, best_distance = d;
  }
  return best;
}

// '; did you mean "install"?', or nothing when no name is near.
std::string suggestion(const std::string& typed, const std::vector<std::string>& names) {
  std::optional<std::string> near = nearest(typed, names);
  return near ? "; did you mean \"" + *near + "\"?" : "";
}

// CLI::IsMember, with a message that suggests the nearest name or else lists
// them all. A service is named by its catalogue name ("api") or by its container's
// name as status shows it ("lumadex-api"); the value becomes the former.
CLI::Validator product_service() {
  CLI::Validator member = CLI::IsMember(service_names());
  return CLI::Validator(
      [member](std::string& name) -> std::string {
        const std::string prefix = LumadexInstaller::application_name + "-";
        const bool qualified = name.starts_with(prefix);
        std::string bare = qualified ? name.substr(prefix.size()) : name;
        if (member(bare).empty()) {
          name = bare;
          return {};
        }
        std::string text = "\"" + name + "\" is not one of the product's services";
        std::vector<std::string> names = service_names();
        if (qualified)
          for (std::string& n : names) n = prefix + n;
        std::string near = suggestion(name, names);
        if (!near.empty()) return text + near;
        std::string list;
        for (const std::string& n : service_names()) list += (list.empty() ? "" : ", ") + n;
        return text + ": " + list;
      },
      "SERVICE");
}

// "SERVICE=NODE", SERVICE one of the product's.
const CLI::Validator& placement() {
  static const CLI::Validator kPlacement(
      [](std::string& text) -> std::string {
        std::size_t equals = text.find('=');
        if (equals == std::string::npos || equals + 1 == text.size())
          return "\"" + text + "\" is not SERVICE=NODE";
        std::string service = text.substr(0, equals);
        if (LumadexInstaller::is_service(service)) return {};
        return "\"" + service + "\" is not one of the product's services" +
               suggestion(service, service_names());
      },
      "SERVICE=NODE");
  return kPlacement;
}

// The signal that asked the program to stop, 0 before one came. Lock-free,
// so the handler may set it.
std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Ctrl-C asks the engine client to abandon the request in flight and send no
// other, so the operation ends at once with what the engine finished left
// done. SIGTERM (a shutdown, `kill`) and SIGHUP (a closed terminal or ssh
// session) ask for the same: ended by the system's default action instead,
// the program would leave its temporary files and no exit record. A second
// signal of the same kind ends the program the ordinary way.
void on_stop_signal(int signal) {
  int none = 0;
  stop_signal.compare_exchange_strong(none, signal);
  docker::request_interrupt();
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// What the product operations run against. A dry run reads the real engine
// through a client that only describes changes, and describes host changes
// through the context's describing host; the operations themselves are the
// same code either way.
LumadexInstaller::Environment make_environment(Context& context) {
  const bool dry_run = context.dry_run;
  const Output& output = context.output;
  auto make_client = [&context, dry_run]() -> std::shared_ptr<docker::Client> {
    std::shared_ptr<docker::Client> client(context.connect());
    if (dry_run)
      return std::make_shared<docker::DryRunClient>(client, context.output.out, context.described);
    return client;
  };

  docker::PullProgress progress;
  if (!dry_run && output.terminal.tty) {
    auto view = std::make_shared<PullProgressView>(output.out, output.terminal.colour);
    progress = [view](const docker::PullEvent& event) { (*view)(event); };
  }
  LumadexInstaller::Environment environment{context.host(), make_client, progress};
  environment.dry_run = dry_run;
  environment.described = context.described;
  environment.docker_config = context.docker_config;
  environment.search_path = context.search_path;
  try {
    environment.default_socket = context.engine_config().default_socket();
  } catch (const docker::ConfigError&) {
    // Reported with its reason when the first client is made.
    environment.default_socket = false;
  }
  return environment;
}

// --- The commands ----------------------------------------------------------
//
// Each command is one row of kCommands: its name, its help line, the options
// it takes (with their checks, so a bad value is refused while parsing, before
// anything runs) and what it does. Each action returns the exit status and
// throws when the operation fails.

void dry_run_option(CLI::App& command, Invocation& in) {
  command.add_flag("--dry-run", in.dry_run,
                   "Read the engine but change nothing: print each change as a line starting "
                   "with \"would \"");
}

int completed(bool done) { return done ? kExitOk : kExitFailed; }

void settle_options(CLI::App& command, Invocation& in) {
  command
      .add_option("--settle", in.settle,
                  "Watch what was started for SECONDS and fail if a container exits or restarts "
                  "(0: do not watch)")
      ->check(CLI::Range(0, 86400))
      ->capture_default_str();
  command
      .add_option("--wait-timeout", in.wait_timeout,
                  "Wait up to SECONDS for containers with a health check to become healthy")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
}

// The job count when --jobs is not given, from bench/README.md's runs on a
// 2-CPU engine: 4 brought the catalogue up and down fastest (8 and 13 were
// no faster), but in an in-place update the swaps then contend for the
// engine, so each container is out about four times as long for no shorter
// window; one at a time keeps each outage to a stop, a rename and a start.
int jobs_for(const Invocation& in) {
  constexpr int kDefaultJobs = 4;
  return in.jobs.value_or(in.in_place ? 1 : kDefaultJobs);
}

// The environment of an operation that starts containers: a dry run starts
// nothing, so there is nothing to watch.
LumadexInstaller::Environment watched_environment(Context& context, const Invocation& in) {
  LumadexInstaller::Environment environment = make_environment(context);
  if (!in.dry_run)
    environment.settle = installer::SettleOptions{std::chrono::seconds(in.settle),
                                                  std::chrono::seconds(in.wait_timeout),
                                                  context.output.terminal.tty};
  environment.jobs = jobs_for(in);
  environment.rollback = !in.no_rollback;
  environment.registry = chosen_registry(in);
  environment.credentials = given_credentials(context, in);
  return environment;
}

void jobs_option(CLI::App& command, Invocation& in) {
  command
      .add_option("--jobs", in.jobs,
                  "Send up to this many engine requests of one step at once (starts, stops, "
                  "removals; default 4, and 1 for update --in-place)")
      ->check(CLI::Range(1, installer::kMaxJobs));
}

void trust_option(CLI::App& command, Invocation& in) {
  command.add_option("--trust", in.trust,
                     "Accept only a bundle signed with the private half of this PEM public key");
}

void bundle_option(CLI::App& command, Invocation& in) {
  command.add_option("--bundle", in.bundle,
                     "Load the images from this file ('bootstrap bundle create') and fetch none");
  trust_option(command, in);
  command.get_option("--trust")->needs("--bundle");
}

void rollback_option(CLI::App& command, Invocation& in) {
  command.add_flag("--no-rollback", in.no_rollback,
                   "When the new version does not stay up, leave it as it is instead of bringing "
                   "back the image that ran before");
}

void install_options(CLI::App& command, Invocation& in) {
  command.add_option("--version", in.version, "Run the application image with this tag")
      ->check(image_tag());
  rollback_option(command, in);
  command.add_flag("--update", in.update, "Fetch the untagged application image anew");
  bundle_option(command, in);
  dry_run_option(command, in);
  settle_options(command, in);
  jobs_option(command, in);
  registry_options(command, in);
  // Swarm nodes fetch their own images, and a swarm update is its own
  // command: neither option would do anything there.
  command
      .add_flag("--swarm", in.swarm,
                "Run the services on the Docker swarm this engine manages, not on this host")
      ->excludes("--bundle")
      ->excludes("--update");
  command
      .add_option("--place", in.placements,
                  "With --swarm: keep SERVICE, and the data it keeps, on NODE (default: this "
                  "manager)")
      ->check(placement())
      ->needs("--swarm");
  command
      .add_flag("--routing-mesh", in.routing_mesh,
                 "With --swarm: publish port 5000 on every node through the routing mesh "
                 "(needs IPVS in each node's kernel)")
      ->needs("--swarm");
}
// The console has shown the engine's text already; standard error gets the
// one-line reason the front end promises for every failure.
int completed(const Context& context, const char* command, const LumadexInstaller& product,
              bool done) {
  if (!done) context.output.error(command, product.failure_reason());
  return completed(done);
}
int install(Context& context, const Invocation& in) {
  if (in.swarm) {
    installer::SwarmOptions options;
    for (const std::string& pair : in.placements)
      options.placements[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    options.routing_mesh = in.routing_mesh;
    LumadexInstaller(watched_environment(context, in)).install_on_swarm(in.version, options);
    return kExitOk;
  }
  if (in.bundle) {
    // Checked whole before anything changes.
    BundleInstall from =
        prepare_bundle_install(*in.bundle, in.version, in.trust, context.output,
                               chosen_registry(in).value_or(""));
    LumadexInstaller product(watched_environment(context, in));
    return completed(context, "install", product,
                     product.install(from.version, in.update, &from.images));
  }
  LumadexInstaller product(watched_environment(context, in));
  return completed(context, "install", product, product.install(in.version, in.update));
}

void update_options(CLI::App& command, Invocation& in) {
  command
      .add_option("--version", in.version,
                  "Move the application image to this tag instead of its latest")
      ->check(image_tag());
  command.add_flag("--in-place", in.in_place,
                   "Recreate only the containers whose image or definition changed, each "
                   "replacement made before the old one stops; keep every volume");
  rollback_option(command, in);
  bundle_option(command, in);
  // A bundle carries its own version.
  command.get_option("--version")->excludes("--bundle");
  dry_run_option(command, in);
  settle_options(command, in);
  jobs_option(command, in);
  registry_options(command, in);
}
int update(Context& context, const Invocation& in) {
  LumadexInstaller product(watched_environment(context, in));
  if (in.bundle) {
    // Before the bundle's every byte is read.
    product.refuse_on_swarm(true);
    BundleInstall from = prepare_bundle_install(*in.bundle, std::nullopt, in.trust,
                                                context.output,
                                                chosen_registry(in).value_or(""));
    if (in.in_place) {
      product.update_in_place(&from.images, from.version);
      return kExitOk;
    }
    return completed(context, "update", product, product.update(&from.images, from.version));
  }
  if (in.in_place) {
    // Swarm services roll over one by one already: the swarm's update is
    // in place.
    if (product.on_swarm())
      product.update_on_swarm(in.version);
    else
      product.update_in_place(nullptr, in.version);
    return kExitOk;
  }
  if (product.on_swarm()) {
    product.update_on_swarm(in.version);
    return kExitOk;
  }
  return completed(context, "update", product, product.update(nullptr, in.version));
}

void uninstall_options(CLI::App& command, Invocation& in) {
  dry_run_option(command, in);
  jobs_option(command, in);
}
int uninstall(Context& context, const Invocation& in) {
  LumadexInstaller::Environment environment = make_environment(context);
  environment.jobs = jobs_for(in);
  LumadexInstaller product(environment);
  if (product.on_swarm())
    product.uninstall_on_swarm();
  else
    product.uninstall();
  return kExitOk;
}

void scale_options(CLI::App& command, Invocation& in) {
  command.add_option("SERVICE", in.service, "A service of the product")
      ->required()
      ->transform(product_service());
  command.add_option("COUNT", in.count, "How many containers, 1 for none but its own")
      ->required()
      ->check(container_count());
  dry_run_option(command, in);
  settle_options(command, in);
  jobs_option(command, in);
}
int scale(Context& context, const Invocation& in) {
  LumadexInstaller product(watched_environment(context, in));
  if (product.on_swarm())
    product.scale_on_swarm(in.service, in.count);
  else
    product.scale(in.service, in.count);
  return kExitOk;
}

int configure(Context& context, const Invocation&) {
  LumadexInstaller(make_environment(context)).configure();
  return kExitOk;
}

// The read-only commands need no product object; each throws when it
// fails, after printing what it found.
void status_options(CLI::App& command, Invocation& in) {
  command.add_flag("--json", in.status_json, "Print one JSON document instead of tables");
}
int status(Context& context, const Invocation& in) {
  // An engine whose info cannot be read is reported by the status itself.
  bool on_swarm = false;
  try {
    on_swarm = LumadexInstaller(make_environment(context)).on_swarm();
  } catch (const docker::EngineError&) {
  }
  if (on_swarm) {
    swarm_status_command(context, in.status_json);
    return kExitOk;
  }
  status_command(context, in.status_json);
  return kExitOk;
}

void preflight_options(CLI::App& command, Invocation& in) {
  command.add_flag("--json", in.preflight_json, "Print one JSON document instead of lines");
}
int preflight(Context& context, const Invocation& in) {
  preflight_command(context, in.preflight_json);
  return kExitOk;
}

void export_options(CLI::App& command, Invocation& in) {
  ExportRequest& request = in.export_request;
  command.add_option("--version", request.version, "Run the application image with this tag")
      ->check(image_tag());
  command.add_option("-o,--output", request.output,
                     "Write to this file instead of standard output");
  command.add_flag("--force", request.force, "Replace the output file if it exists");
  command
      .add_option("--cpus", request.cpus,
                  "Resolve CPU sets for this many CPUs (default: the engine's count, else "
                  "this host's)")
      ->check(CLI::Range(1u, 4096u));
  command.add_flag("--swarm", request.swarm,
                   "Write a stack file for `docker stack deploy` on a swarm instead");
  command
      .add_option("--registry", request.registry,
                  "Name every image as this registry holds it (HOST[:PORT][/PREFIX])")
      ->check(registry_value());
}
int export_compose(Context& context, const Invocation& in) {
  ExportRequest request = in.export_request;
  if (!request.registry.empty()) request.registry = installer::canonical_registry(request.registry);
  export_command(request, context);
  return kExitOk;
}

// `--since` is checked as it is parsed; it becomes a time when the logs are
// read.
const CLI::Validator& since_value() {
  static const CLI::Validator kSince(
      [](std::string& text) -> std::string {
        if (parse_since(text, 0)) return {};
        return "\"" + text +
               "\" is neither a duration (90s, 10m, 1h30m, 2d) nor a time (2026-05-01, "
               "2026-05-01T10:00:00Z, unix seconds)";
      },
      "DURATION|TIME");
  return kSince;
}

void logs_options(CLI::App& command, Invocation& in) {
  LogsRequest& request = in.logs;
  command.add_option("SERVICE", request.services, "Services to read (default: all)")
      ->transform(product_service());
  command.add_option("-n,--tail", request.tail, "Only the last N lines of each container")
      ->check(CLI::Range(0, 100000000));
  command.add_option("--since", request.since, "Only lines since a time or for a duration back")
      ->check(since_value());
  command.add_flag("-f,--follow", request.follow, "Keep printing new lines until Ctrl-C");
  command.add_flag("--timestamps", request.timestamps, "Start each line with the engine's time");
}
int logs(Context& context, const Invocation& in) {
  logs_command(in.logs, context);
  return kExitOk;
}

void support_bundle_options(CLI::App& command, Invocation& in) {
  command.add_option("-o,--output", in.bundle_output,
                     "Write to this file (default: kestro-support-HOST-TIME.tar.gz here)");
}
int support_bundle(Context& context, const Invocation& in) {
  support_bundle_command(in.bundle_output, context);
  return kExitOk;
}

void bundle_options(CLI::App& command, Invocation& in) {
  command.require_subcommand(1);
  CLI::App* create = command.add_subcommand(
      "create", "Fetch every image the product runs and write them to one file");
  BundleCreateRequest& request = in.bundle_create;
  create->add_option("--version", request.version, "Carry the application image with this tag")
      ->check(image_tag());
  create->add_option("-o,--output", request.output, "Write to this file")->required();
  create->add_flag("--force", request.force, "Replace the output file if it exists");
  create->add_option("--sign", request.signing_key_file,
                     "Sign the bundle with this PEM RSA private key (PKCS#1 or PKCS#8)");
  registry_options(*create, in);
  create->final_callback([&in] { in.bundle_action = "create"; });
  CLI::App* inspect = command.add_subcommand(
      "inspect", "Check every byte of a bundle and print what it holds; exit 1 if it is damaged");
  inspect->add_option("FILE", in.bundle_inspected, "The bundle")->required();
  trust_option(*inspect, in);
  inspect->final_callback([&in] { in.bundle_action = "inspect"; });
  CLI::App* push = command.add_subcommand(
      "push", "Put a bundle's images into a registry of yours, for hosts and swarm nodes that pull");
  push->add_option("FILE", in.bundle_push.path, "The bundle")->required();
  registry_options(*push, in);
  push->get_option("--registry")->required();
  trust_option(*push, in);
  push->final_callback([&in] { in.bundle_action = "push"; });
}
int bundle_files(Context& context, const Invocation& in) {
  if (in.bundle_action == "inspect") {
    bundle_inspect_command(in.bundle_inspected, in.trust, context.output.out);
    return kExitOk;
  }
  // Only creation and push talk to the engine.
  std::string missing = survey::missing_engine_access(context.engine_config());
  if (!missing.empty()) throw std::runtime_error(missing);
  LumadexInstaller::Environment environment = make_environment(context);
  environment.registry = chosen_registry(in);
  environment.credentials = given_credentials(context, in);
  std::shared_ptr<docker::Client> client = environment.make_client();
  LumadexInstaller product(environment);
  if (in.bundle_action == "push") {
    BundlePushRequest request = in.bundle_push;
    request.registry = chosen_registry(in).value_or("");
    if (request.registry.empty())
      throw std::runtime_error("bundle push: --registry names Docker Hub's public names; give "
                               "your own registry");
    request.trust = in.trust;
    bundle_push_command(request, product, *client, context.output);
    return kExitOk;
  }
  bundle_create_command(in.bundle_create, product, *client, context.output);
  return kExitOk;
}

// What a command needs of the account that runs it, checked before it
// starts so that it does not fail halfway for want of a permission.
enum class Needs {
  nothing,
  engine,  // the engine's socket
  root,    // the package manager and /etc/sysctl.conf (root also opens the socket)
};

// Whether a command, as invoked, changes the host or the engine: such a
// command runs one at a time on a host (it takes the host lock, and so has
// --lock-timeout) and leaves a record in the operation log.
bool always(const Invocation&) { return true; }
bool never(const Invocation&) { return false; }
// `bundle create` fetches images into the engine and `bundle push` loads
// them; `bundle inspect` only reads.
bool creating_bundle(const Invocation& in) {
  return in.bundle_action == "create" || in.bundle_action == "push";
}

struct Command {
  const char* name;
  const char* help;
  void (*options)(CLI::App&, Invocation&);
  int (*run)(Context&, const Invocation&);
  Needs needs;
  bool (*changes_host)(const Invocation&);
};

const Command kCommands[] = {
    {"install", "Prepare the host (Docker, vm.max_map_count) and bring every service up",
     install_options, install, Needs::root, always},
    {"update",
     "Take the product down, remove its cache volumes, and install it again with fresh "
     "application images (--in-place: recreate only what changed, keep every volume)",
     update_options, update, Needs::root, always},
    {"uninstall",
     "Take every container and network down and remove the cache volumes (search and cache "
     "data stay)",
     uninstall_options, uninstall, Needs::engine, always},
    {"scale", "Run COUNT containers of SERVICE, its own container included", scale_options,
     scale, Needs::engine, always},
    {"configure",
     "Raise the kernel's vm.max_map_count where it is too low; exit 1 if it could not be raised",
     dry_run_option, configure, Needs::root, always},
    {"status",
     "Show each service's container, the networks and the volumes as the engine has them; "
     "exit 1 unless every service runs",
     status_options, status, Needs::nothing, never},
    {"preflight", "Check the host and the engine before an install; exit 1 if a check fails",
     preflight_options, preflight, Needs::nothing, never},
    {"export", "Write the services as a Compose file", export_options, export_compose, Needs::nothing,
     never},
    {"logs", "Print the log of each service's containers (default: all), each line behind its container's name",
     logs_options, logs, Needs::engine, never},
    // Nothing is required: it collects what this account can read and lists
    // the rest in the bundle; root gets the operation log and the engine.
    {"support-bundle",
     "Write one .tar.gz of host facts, engine and product state, and logs for support, "
     "secrets redacted",
     support_bundle_options, support_bundle, Needs::nothing, never},
    {"bundle",
     "Write or check one file of every image the product runs, for hosts without a registry",
     bundle_options, bundle_files, Needs::nothing, creating_bundle},
};

void lock_timeout_option(CLI::App& command, Invocation& in) {
  command
      .add_option("--lock-timeout", in.lock_timeout,
                  "Wait at most this many seconds for another bootstrap operation to finish")
      ->check(CLI::Range(0, 86400))
      ->capture_default_str();
}

// How help shows each option's value: a word for what it is and its
// default, "SECONDS (default 10)", where CLI11 would show its type and
// checks, "INT:INT in [0 - 86400]=10".
void describe_values(CLI::App& app) {
  static const std::map<std::string, std::string> kWords = {
      {"settle", "SECONDS"},  {"wait-timeout", "SECONDS"}, {"lock-timeout", "SECONDS"},
      {"jobs", "N"},          {"tail", "N"},               {"cpus", "N"},
      {"version", "TAG"},     {"bundle", "FILE"},          {"trust", "FILE"},
      {"sign", "FILE"},       {"output", "FILE"},          {"place", "SERVICE=NODE"},
      {"since", "DURATION|TIME"}, {"COUNT", "0.." + std::to_string(kMaxCount)}};
  // Defaults that are no value of the option's own.
  static const std::map<std::string, std::string> kImplicit = {{"tail", "all"},
                                                               {"version", "latest"}};
  for (CLI::Option* option : app.get_options()) {
    const bool positional = option->get_lnames().empty();
    const std::string name = positional ? option->get_name() : option->get_lnames().front();
    if (name == "help") continue;
    std::vector<std::string> parts;
    if (option->get_type_size() != 0) {
      auto word = kWords.find(name);
      // An option without a word of its own keeps CLI11's type, without checks.
      if (word != kWords.end())
        parts.push_back(word->second);
      else if (!positional && !option->get_type_name().empty())
        parts.push_back(option->get_type_name().substr(0, option->get_type_name().find(':')));
      auto implicit = kImplicit.find(name);
      if (!option->get_default_str().empty())
        parts.push_back("(default " + option->get_default_str() + ")");
      else if (implicit != kImplicit.end())
        parts.push_back("(default " + implicit->second + ")");
      if (option->get_expected_max() > 1) parts.push_back("...");
      if (option->get_required()) parts.push_back("(required)");
    }
    auto names = [](const std::set<CLI::Option*>& options) {
      std::vector<std::string> out;
      for (const CLI::Option* o : options) out.push_back(o->get_name());
      return base::join(out, ", ");
    };
    if (!option->get_needs().empty()) parts.push_back("(with " + names(option->get_needs()) + ")");
    if (!option->get_excludes().empty())
      parts.push_back("(not with " + names(option->get_excludes()) + ")");
    if (!parts.empty()) option->option_text(base::join(parts, " "));
  }
  for (CLI::App* command : app.get_subcommands({})) describe_values(*command);
}

// The group of the engine's socket, whose members may run the commands that
// need only the engine and so must be able to take the host lock.
std::optional<gid_t> engine_group(const Context& context) {
  try {
    const docker::ClientConfig& config = context.engine_config();
    struct stat info {};
    if (!config.socket_path.empty() && ::stat(config.socket_path.c_str(), &info) == 0)
      return info.st_gid;
  } catch (const docker::ConfigError&) {
    // Reported with its reason when the command makes its first client.
  }
  return std::nullopt;
}

// The command as its error lines name it: "bundle create", "install".
std::string command_words(const Command& command, const Invocation& in) {
  return std::string(command.name) + (in.bundle_action.empty() ? "" : " " + in.bundle_action);
}

// Waits for the host lock, saying once whom it waits for.
host::OperationLock take_lock(const Context& context, const Command& command,
                             const Invocation& in) {
  host::OperationLock::Wait wait;
  wait.timeout = std::chrono::seconds(in.lock_timeout);
  // The holder's words are whatever an account that can write the file put
  // there.
  std::ostream& out = context.output.out;
  wait.waiting = [&out](const std::string& holder) {
    out << "waiting for " << base::printable(holder) << " to finish" << std::endl;
  };
  wait.stop = [] { return docker::interrupt_requested(); };
  return host::OperationLock::acquire(
      context.lock_file,
      "bootstrap " + command_words(command, in) + " (pid " +
          std::to_string(::getpid()) + ")",
      wait, engine_group(context));
}

// Why this account cannot run the command, as the reason of its one error
// line, or "" when it can.
std::string missing_permission(const Context& context, Needs needs) {
  if (needs == Needs::root) return survey::missing_root();
  if (needs == Needs::engine)
    return survey::missing_engine_access(context.engine_config());
  return {};
}

std::vector<std::string> command_names() {
  std::vector<std::string> names;
  for (const Command& c : kCommands) names.push_back(c.name);
  return names;
}

std::vector<std::string> option_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options())
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  return names;
}

// What CLI11 found wrong with the command line, in our words. `command` is
// the command it got to, or null.
std::string usage_reason(const CLI::App& cli, const CLI::App* command, const CLI::ParseError& e) {
  // Words CLI11 could not place at the top level: a command or an option
  // that does not exist.
  std::vector<std::string> stray = cli.remaining(false);
  if (command == nullptr && !stray.empty()) {
    const std::string& word = stray.front();
    if (word.rfind("-", 0) == 0)
      return "unknown option \"" + word + "\"" + suggestion(word, option_names(cli));
    return "unknown command \"" + word + "\"" + suggestion(word, command_names());
  }
  if (command != nullptr && dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    std::vector<std::string> extras = command->remaining(false);
    if (!extras.empty()) {
      const std::string& word = extras.front();
      if (word.rfind("-", 0) == 0)
        return "unknown option \"" + word + "\"" + suggestion(word, option_names(*command));
      return "unexpected argument \"" + word + "\"";
    }
  }
  std::string text = e.what();
  // "--version: 1 required TEXT:TAG missing"
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr &&
      text.find(" missing") != std::string::npos)
    return text.substr(0, text.find(':')) + " needs a value";
  return text;
}

// Prints why the operation `command` ("install", "bundle create") failed
// and returns its exit status.
int report_failure(const Output& output, const std::string& command, const std::exception& e) {
  // Whatever the interrupted step threw (the engine client's Interrupted,
  // or a host command that died of the same Ctrl-C), the cause is the
  // operator's request.
  if (docker::interrupt_requested()) {
    const int signal = stop_signal.load();
    const bool by_system = signal == SIGTERM || signal == SIGHUP;
    std::string why = "interrupted";
    if (by_system) why += signal == SIGTERM ? " by SIGTERM" : " by SIGHUP";
    // What an install or update finished stays, whatever step it got to, and
    // an install brings every service to where it belongs from any of them.
    if (dynamic_cast<const installer::Unfinished*>(&e) != nullptr)
      why += std::string(" ") + e.what();
    else if (command == "install" || command == "update")
      why += "; what it finished stays: run 'bootstrap install' to finish";
    output.error(command, why);
    return by_system ? kExitSignalled + signal : kExitInterrupted;
  }
  // A rollback's line says all: what failed and what runs now.
  if (dynamic_cast<const installer::RolledBack*>(&e) != nullptr)
    output.err << base::printable(e.what()) << std::endl;
  else
    output.error(command, e.what());
  return kExitFailed;
}

// Runs a changing command under the host lock, with everything it prints and
// asks the engine kept in the operation log.
int run_recorded(Context& context, const Command& command, const Invocation& in,
                 const std::vector<std::string>& command_line) {
  OperationLog log(context.log, command_line);
  ConsoleCapture capture(log);
  std::optional<host::OperationLock> lock;
  int status = kExitFailed;
  // A registry that wants a login is refused before anything changes, in
  // the one line that says what to do; the log has nothing more to tell.
  bool point_to_log = true;
  try {
    lock.emplace(take_lock(context, command, in));
    log.open();
    context.engine_record = &log;
    status = command.run(context, in);
  } catch (const std::exception& e) {
    // A command that never got the lock still leaves its record, but may
    // not rotate a file another operation is writing.
    if (!lock) log.open_unlocked();
    status = report_failure(context.output, command_words(command, in), e);
    point_to_log = dynamic_cast<const installer::RegistryLoginNeeded*>(&e) == nullptr;
  }
  context.engine_record = nullptr;
  // Last on the console, but before the exit record, which ends the log's.
  if (status != kExitOk && point_to_log && log.written())
    context.output.err << "details: " << log.file().string() << std::endl;
  log.finish(status);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Registry credentials and the product's secrets pass through this
  // process's memory, and a core file would put them on disk.
  ::prctl(PR_SET_DUMPABLE, 0);
  // The one place that reads the process environment and the terminal.
  Context context(
      [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      },
      ::isatty(STDOUT_FILENO) == 1, std::cout, std::cerr);
  const Output& output = context.output;
  CLI::App cli{"Installs, updates, scales and removes the lumadex product on this host's "
               "Docker engine.",
               "bootstrap"};
  cli.set_version_flag("--version", version_line());
  cli.require_subcommand(1);
  Invocation invocation;
  for (const Command& command : kCommands)
    command.options(*cli.add_subcommand(command.name, command.help), invocation);
  for (const Command& command : kCommands)
    if (command.changes_host == always)
      lock_timeout_option(*cli.get_subcommand(command.name), invocation);
  // bundle changes the host only through create (creating_bundle).
  lock_timeout_option(*cli.get_subcommand("bundle")->get_subcommand("create"), invocation);
  lock_timeout_option(*cli.get_subcommand("bundle")->get_subcommand("push"), invocation);
  // The program's own --version shows the program's version, not a tag.
  for (CLI::App* command : cli.get_subcommands({})) describe_values(*command);

  if (argc <= 1) {
    output.out << cli.help();
    return kExitUsage;
  }
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end the parse too, with success.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return cli.exit(e);
    std::vector<CLI::App*> chosen = cli.get_subcommands();
    const CLI::App* command = chosen.empty() ? nullptr : chosen.front();
    std::string name = command != nullptr ? command->get_name() : "";
    output.error(name, usage_reason(cli, command, e));
    output.err << "see 'bootstrap " << (name.empty() ? "" : name + " ") << "--help'" << std::endl;
    return kExitUsage;
  }

  const std::string chosen = cli.get_subcommands().front()->get_name();
  const Command* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                        [&](const Command& c) { return chosen == c.name; });
  context.dry_run = invocation.dry_run;
  catch_interrupts();
  try {
    if (!invocation.dry_run) {
      std::string missing = missing_permission(context, command->needs);
      if (!missing.empty()) {
        output.error(command->name, missing);
        return kExitFailed;
      }
    }
    // A dry run changes nothing, so it neither waits for the lock nor leaves
    // a record.
    if (command->changes_host(invocation) && !invocation.dry_run)
      return run_recorded(context, *command, invocation,
                          std::vector<std::string>(argv, argv + argc));
    const int status = command->run(context, invocation);
    // A dry run ends with its count, the way a change ends with its outcome.
    if (invocation.dry_run && status == kExitOk) {
      const int n = *context.described;
      output.out << (n == 0 ? std::string("no change") : std::to_string(n) + (n == 1 ? " change" : " changes"))
                 << " would be made" << std::endl;
    }
    return status;
  } catch (const std::exception& e) {
    return report_failure(output, command_words(*command, invocation), e);
  }
}

}  // namespace bootstrap::app
