// The operations the benchmark measures, each meant to run alone in a child
// process (kestro_bench <op> --result FILE), plus the unmeasured helpers that
// prepare the engine between runs. Every function returns the process exit
// status and writes what it saw as JSON to `result` (when not empty).
#pragma once

#include <string>

namespace kestro::bench {

// Each operation runs with `jobs` engine requests of a phase in flight at once.

// compose_up (update false) of the catalogue over a fresh engine object.
int op_up(int jobs, const std::string& result);
// compose_down of the catalogue.
int op_down(int jobs, const std::string& result);
// LumadexInstaller::update(), with the request timeline split by kind.
int op_update(int jobs, const std::string& result);
// LumadexInstaller::update_in_place(), watched for `settle_s` seconds (0: no
// watch); a rollback (RolledBack) is reported, with its times from the
// request timeline, not counted as a failure.
int op_update_in_place(int jobs, int settle_s, const std::string& result);
// scale_service("worker", n).
int op_scale(int n, int jobs, const std::string& result);

// The engine's facts (version, CPUs, memory) as JSON.
int helper_info(const std::string& result);
// Pulls every image the catalogue names that the engine lacks.
int helper_pull();
// Stops and removes every container, network and volume named lumadex-* or
// lumadex_* (ours and docker-compose's), leaving the images.
int helper_clean();
// The running lumadex containers and the image ids the application's
// containers run, as JSON.
int helper_app_image(const std::string& result);
// Exit status 0 when exactly `expected` lumadex containers are running.
int helper_check(int expected);

}  // namespace kestro::bench
