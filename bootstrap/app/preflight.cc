#include "bootstrap/app/preflight.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bootstrap/app/context.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/survey/privileges.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

using base::join;
using survey::any_failed;
using survey::check_privileges;
using survey::CheckResult;
using survey::Level;
using survey::level_name;
using survey::PreflightFacts;
using survey::real_probes;
using survey::run_preflight;

std::string render_preflight_text(const std::vector<CheckResult>& results) {
  std::size_t width = 0;
  for (const CheckResult& r : results) width = std::max(width, r.name.size());
  const std::string indent(4 + 2 + width + 2, ' ');
  int counts[3] = {0, 0, 0};
  std::string out;
  for (const CheckResult& r : results) {
    ++counts[static_cast<int>(r.level)];
    out += std::string(level_name(r.level)) + "  " + r.name +
           std::string(width - r.name.size() + 2, ' ') + r.reason + "\n";
    if (r.level != Level::pass && !r.advice.empty()) out += indent + "-> " + r.advice + "\n";
  }
  out += "\n" + std::to_string(counts[0]) + " passed, " + std::to_string(counts[1]) +
         " warned, " + std::to_string(counts[2]) + " failed\n";
  return out;
}

std::string render_preflight_json(const std::vector<CheckResult>& results) {
  nlohmann::ordered_json checks = nlohmann::ordered_json::array();
  for (const CheckResult& r : results)
    checks.push_back({{"name", r.name},
                      {"level", level_name(r.level)},
                      {"reason", r.reason},
                      {"advice", r.advice}});
  nlohmann::ordered_json document = {{"passed", !any_failed(results)}, {"checks", checks}};
  // Reasons quote the engine, whose text need not be UTF-8.
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void preflight_command(Context& context, bool as_json) {
  using installer::lumadex::LumadexInstaller;
  std::ostream& out = context.output.out;
  const docker::ClientConfig& config = context.engine_config();
  std::unique_ptr<docker::DockerClient> client = context.connect();
  PreflightFacts facts{*client, context.host(), real_probes(), config.local};
  std::vector<CheckResult> results =
      run_preflight(facts, LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
  results.push_back(check_privileges(config));
  out << (as_json ? render_preflight_json(results) : render_preflight_text(results))
      << std::flush;
  std::vector<std::string> failed;
  for (const CheckResult& r : results)
    if (r.level == Level::fail) failed.push_back(r.name);
  if (!failed.empty())
    throw std::runtime_error(std::to_string(failed.size()) + " check" +
                             (failed.size() == 1 ? "" : "s") + " failed: " + join(failed, ", "));
}

}  // namespace bootstrap::app
