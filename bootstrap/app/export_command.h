// `bootstrap export`: the product's catalogue as a Compose or stack file.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace bootstrap::app {

class Context;

// What `bootstrap export` was asked for.
struct ExportRequest {
  std::optional<std::string> version;  // tag for the application image
  std::optional<std::string> output;   // file; standard output when absent
  bool force = false;                  // replace an existing output file
  std::optional<unsigned> cpus;        // CPU count for the CPU sets
  bool swarm = false;                  // a stack file for a swarm
  std::string registry;                // canonical registry; "" for the public names
};

// `bootstrap export`: the product's catalogue as a Compose file (a stack file
// with request.swarm), on the context's output or in request.output, saying
// on the output what it wrote there. Without --cpus, asks the context's
// engine for its CPU count and falls back to its host's. Changes nothing on
// the engine. Throws what compose_file and write_export throw.
void export_command(const ExportRequest& request, Context& context);

}  // namespace bootstrap::app
