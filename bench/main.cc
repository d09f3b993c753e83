// kestro_bench: benchmarks of our installer against docker-compose 1.29.2 on
// one Docker engine (the one DOCKER_HOST names; tools/bench gives it a
// private sandbox).
//
//   kestro_bench run [options]     measure everything, print the table, write
//                                  results.json (see bench/README.md)
//   kestro_bench up|down|update|scale N [--jobs N] [--result FILE]
//   kestro_bench update-in-place [--jobs N] [--settle SECONDS] [--result FILE]
//                                  one measured operation of ours
//   kestro_bench compose-file --cpus N [--unnamed SERVICE] -o FILE
//
// `run` measures each operation in a child process of its own (this program
// again, or docker-compose), timed from fork to wait4, with the child's CPU
// time and peak resident memory from wait4's rusage. The other subcommands
// (up, down, update, update-in-place, scale N, info, pull, clean, check N,
// app-image, noop) are
// those children.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bundle_bench.h"
#include "bench/measure.h"
#include "bench/ops.h"
#include "bench/report.h"
#include "bootstrap/installer/compose_export.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace fs = std::filesystem;

namespace kestro::bench {
namespace {

int usage() {
  std::cerr << "usage: kestro_bench run [--out DIR] [--runs N] [--update-runs N]\n"
               "                        [--again-runs N] [--levels 10,25,50,100]\n"
               "                        [--first-level-runs N] [--budget SECONDS]\n"
               "                        [--compose-file F --compose-scale-file F --compose-source TEXT]\n"
               "                        [--compose PROGRAM] [--jobs 1,4,8,13] [--update-jobs 1,4]\n"
               "                        [--rollback-runs N] [--rollback-jobs N] [--settle SECONDS]\n"
               "                        [--only bringup,update,inplace,rollback,scaling,bundles]\n"
               "                        [--registry HOST:PORT] [--app-image-mb N]\n"
               "       kestro_bench compose-file --cpus N [--unnamed SERVICE] -o FILE\n"
               "       kestro_bench bundles [--out DIR] [--standin-mb N]\n";
  return 2;
}

std::vector<int> parse_jobs(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = std::stoi(item);
    if (n < 1 || n > 16) throw std::invalid_argument("--jobs wants counts from 1 to 16");
    out.push_back(n);
  }
  if (out.empty()) throw std::invalid_argument("--jobs wants at least one count");
  return out;
}

std::vector<int> parse_levels(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = std::stoi(item);
    if (n < 2 || (!out.empty() && n <= out.back()))
      throw std::invalid_argument("--levels wants increasing worker counts of at least 2");
    out.push_back(n);
  }
  if (out.empty()) throw std::invalid_argument("--levels wants at least one count");
  return out;
}

// The peer's Compose file for the catalogue.
void write_compose_file(const bootstrap::installer::ExportOptions& co, const std::string& out) {
  using bootstrap::installer::lumadex::LumadexInstaller;
  std::ofstream(out) << bootstrap::installer::compose_file(LumadexInstaller::application_name,
                                                     LumadexInstaller::lumadex_services, co);
}

int compose_file_command(const std::vector<std::string>& args) {
  bootstrap::installer::ExportOptions co;
  co.cpu_count_source = "--cpus";
  std::string out;
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--cpus") co.cpu_count = static_cast<unsigned>(std::stoul(args[i + 1]));
    else if (args[i] == "--unnamed") co.unnamed_service = args[i + 1];
    else if (args[i] == "-o") out = args[i + 1];
    else return usage();
  }
  if (out.empty()) return usage();
  write_compose_file(co, out);
  return 0;
}

// The crashing application tag the sandbox's registry has (tools/sandbox):
// its entry point exits 3 at once.
constexpr const char* kCrashTag = "2.3-crash";

// Every measurement asked for in turn, then the report.
int run(const Options& o) {
  Session session(o, fs::read_symlink("/proc/self/exe").string());
  Measurements m;
  m.setup = prepare(session);
  m.floor = measure_floor(session);
  if (wanted(o, "bringup")) m.bringups = measure_bringups(session, m.setup.compose_file);
  AppImages* images = m.setup.app_images ? &*m.setup.app_images : nullptr;
  const std::vector<Tool> all = update_tools(o);
  if (wanted(o, "update"))
    for (const Tool& tool : all)
      m.updates[tool.key] = measure_updates(session, tool, m.setup.compose_file, images);
  if (wanted(o, "inplace")) {
    for (const Tool& tool : all)
      if (tool.ours())
        m.in_place[tool.key] = measure_updates(session, tool, m.setup.compose_file, images, true);
    // docker-compose's pull + up -d is its only way, measured once for both
    // tables.
    if (!m.updates.count("compose"))
      m.updates["compose"] = measure_updates(session, all.back(), m.setup.compose_file, images);
  }
  if (wanted(o, "rollback")) {
    if (images)
      m.rollbacks = measure_rollbacks(session, *images, kCrashTag);
    else
      session.note("rollback not measured: it moves latest in the registry, and no registry was "
                   "given");
  }
  if (wanted(o, "scaling")) {
    // Each tool's staircase gets an equal share of what is left of the
    // budget, so the first cannot crowd out the others.
    const ScaleSteps* reference = nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
      const double share =
          (o.budget_s - session.elapsed_s()) / static_cast<double>(all.size() - i);
      m.steps[all[i].key] = measure_scaling(session, all[i], m.setup.compose_scale_file,
                                            reference ? *reference : ScaleSteps{},
                                            session.elapsed_s() + share);
      reference = &m.steps[all[i].key];
    }
  }
  if (wanted(o, "bundles")) measure_bundles(session);
  report(session, m);
  return 0;
}

std::set<std::string> parse_sections(const std::string& text) {
  std::set<std::string> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (std::find(kSections.begin(), kSections.end(), item) == kSections.end())
      throw std::invalid_argument("--only wants some of bringup,update,inplace,rollback,scaling,"
                                  "bundles, not '" + item + "'");
    out.insert(item);
  }
  return out;
}

int run_command(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 1; i < args.size(); ++i) {
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
      return args[++i];
    };
    const std::string a = args[i];
    if (a == "--out") o.out = value();
    else if (a == "--runs") o.runs = std::stoi(value());
    else if (a == "--update-runs") o.update_runs = std::stoi(value());
    else if (a == "--again-runs") o.again_runs = std::stoi(value());
    else if (a == "--levels") o.levels = parse_levels(value());
    else if (a == "--first-level-runs") o.first_level_runs = std::stoi(value());
    else if (a == "--budget") o.budget_s = std::stod(value());
    else if (a == "--compose-file") o.compose_file = value();
    else if (a == "--compose-scale-file") o.compose_scale_file = value();
    else if (a == "--compose-source") o.compose_source = value();
    else if (a == "--compose") o.compose = value();
    else if (a == "--jobs") o.jobs = parse_jobs(value());
    else if (a == "--update-jobs") o.update_jobs = parse_jobs(value());
    else if (a == "--rollback-jobs") o.rollback_jobs = parse_jobs(value()).front();
    else if (a == "--rollback-runs") o.rollback_runs = std::stoi(value());
    else if (a == "--settle") o.rollback_settle_s = std::stoi(value());
    else if (a == "--only") o.only = parse_sections(value());
    else if (a == "--registry") o.registry = value();
    else if (a == "--app-image-mb") o.app_image_mb = std::stoi(value());
    else return usage();
  }
  if (o.registry.empty()) {
    if (const char* sandbox = std::getenv("KESTRO_SANDBOX_REGISTRY")) o.registry = sandbox;
  }
  if (o.runs < 1) throw std::invalid_argument("--runs must be at least 1");
  // docker-compose gives up on an engine request after 60 s by default; a
  // busy 2-CPU engine stopping 25 containers at once has taken longer. Our
  // client waits up to 10 minutes for a silent engine; docker-compose gets
  // 4 (each child is killed after 5 anyway).
  ::setenv("COMPOSE_HTTP_TIMEOUT", "240", 1);
  // Each run's logs and per-process results replace the last run's.
  fs::remove_all(o.out / "logs");
  fs::remove_all(o.out / "results");
  fs::create_directories(o.out / "logs");
  // The peer's version, for the record.
  std::string version_file = (o.out / "logs" / "compose-version.txt").string();
  std::string cmdline = o.compose + " version --short > '" + version_file + "' 2>&1";
  if (std::system(cmdline.c_str()) != 0)
    throw std::runtime_error("cannot run " + o.compose + " (see " + version_file + ")");
  return run(o);
}

// The bundle step alone: `kestro_bench bundles [--out DIR] [--standin-mb N]`,
// its figures on standard output.
int bundles_command(const std::vector<std::string>& args) {
  Options o;
  int standin_mb = kBigImageMB;
  for (std::size_t i = 1; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage();
    if (args[i] == "--out") o.out = args[i + 1];
    else if (args[i] == "--standin-mb") standin_mb = std::stoi(args[i + 1]);
    else return usage();
  }
  fs::create_directories(o.out);
  Session session(o, fs::read_symlink("/proc/self/exe").string());
  measure_bundles(session, standin_mb);
  for (const std::string& note : session.notes()) std::cout << note << "\n";
  return 0;
}

int main_impl(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  const std::string cmd = args[0];
  std::string result;
  int jobs = 1;
  int settle_s = 0;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "--result") result = args[i + 1];
    if (args[i] == "--jobs") jobs = std::stoi(args[i + 1]);
    if (args[i] == "--settle") settle_s = std::stoi(args[i + 1]);
  }

  if (cmd == "noop") return 0;
  if (cmd == "up") return op_up(jobs, result);
  if (cmd == "down") return op_down(jobs, result);
  if (cmd == "update") return op_update(jobs, result);
  if (cmd == "update-in-place") return op_update_in_place(jobs, settle_s, result);
  if (cmd == "app-image") return helper_app_image(result);
  if (cmd == "scale" && args.size() >= 2) return op_scale(std::stoi(args[1]), jobs, result);
  if (cmd == "info") return helper_info(result);
  if (cmd == "pull") return helper_pull();
  if (cmd == "clean") return helper_clean();
  if (cmd == "check" && args.size() >= 2) return helper_check(std::stoi(args[1]));
  if (cmd == "compose-file") return compose_file_command(args);
  if (cmd == "bundle-load" && args.size() >= 2) return op_bundle_load(args[1]);
  if (cmd == "bundles") return bundles_command(args);
  if (cmd == "run") return run_command(args);
  return usage();
}

}  // namespace
}  // namespace kestro::bench

int main(int argc, char** argv) {
  try {
    return kestro::bench::main_impl(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kestro_bench: " << e.what() << std::endl;
    return 1;
  }
}
