#include "bootstrap/app/export_command.h"

#include "bootstrap/app/context.h"
#include "bootstrap/installer/compose_export.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

void export_command(const ExportRequest& request, Context& context) {
  std::ostream& out = context.output.out;
  using installer::lumadex::LumadexInstaller;
  installer::ExportOptions options;
  options.application_image = LumadexInstaller::main_service;
  options.version = request.version;
  options.swarm = request.swarm;
  options.registry = request.registry;
  options.cpu_count = installer::export_cpu_count(
      request.cpus, [&context] { return context.connect()->info().ncpu; },
      context.host().system.cpu_count(), options.cpu_count_source);
  const std::string text =
      installer::compose_file(LumadexInstaller::application_name, LumadexInstaller::lumadex_services, options);
  if (request.output) {
    installer::write_export(*request.output, text, request.force);
    out << "wrote " << (options.swarm ? "a stack file" : "a Compose file") << " of "
        << LumadexInstaller::lumadex_services.size() << " services to " << *request.output
        << std::endl;
  } else {
    out << text << std::flush;
  }
}

}  // namespace bootstrap::app
