#include "bootstrap/app/support_bundle.h"

#include <filesystem>
#include <memory>
#include <vector>

#include "bootstrap/app/build_info.h"
#include "bootstrap/app/context.h"
#include "bootstrap/app/preflight.h"
#include "bootstrap/app/status.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/survey/privileges.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/support/support_bundle.h"

namespace bootstrap::app {

void support_bundle_command(const std::string& output, Context& context) {
  using installer::lumadex::LumadexInstaller;
  std::ostream& out = context.output.out;
  std::filesystem::path path = output.empty() ? support::default_bundle_name() : output;
  support::BundleSources sources{[&context]() -> std::unique_ptr<docker::Client> {
                                   return context.connect();
                                 },
                                 context.host(), survey::real_probes(), context.log.file,
                                 version_line()};
  try {
    sources.engine_is_local = context.engine_config().local;
  } catch (const docker::ConfigError&) {
    // The bundle names the unusable environment in errors.txt when it
    // connects; the disk is looked at here meanwhile.
  }
  sources.status_json = [](docker::Client& engine) {
    return render_status_json(survey::gather_status(engine, LumadexInstaller::application_name,
                                                     LumadexInstaller::lumadex_services));
  };
  sources.preflight_text = [&context, &sources](docker::Client& engine) {
    // Asked only once the engine answered, so its configuration was usable.
    const docker::ClientConfig& config = context.engine_config();
    survey::PreflightFacts facts{engine, sources.host, sources.probes, config.local};
    std::vector<survey::CheckResult> results = survey::run_preflight(
        facts, LumadexInstaller::application_name, LumadexInstaller::lumadex_services);
    results.push_back(survey::check_privileges(config));
    return render_preflight_text(results);
  };

  const std::size_t missing = support::make_support_bundle(sources, path);
  if (missing > 0)
    out << "could not collect everything: " << missing << (missing == 1 ? " item" : " items")
        << ", listed in errors.txt\n";
  std::error_code ec;
  out << "wrote " << std::filesystem::absolute(path, ec).string() << " ("
      << std::filesystem::file_size(path, ec) << " bytes)" << std::endl;
}

}  // namespace bootstrap::app
