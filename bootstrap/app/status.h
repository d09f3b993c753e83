// `bootstrap status`: what survey::gather_status() finds, rendered as an
// aligned text table or one JSON document. The renderers do no I/O, so the
// whole command is a gather and a render.
#pragma once

#include <string>

#include "bootstrap/survey/status.h"

namespace bootstrap::app {

class Context;

// An aligned table of the services, then one of networks and volumes, each
// line ending in "\n". Missing values print as "-"; the networks column reads
// "4/4", or "3/4 missing lumadex-es-net" when some were not joined; uptimes
// read "45s", "12m", "3h", "2d".
std::string render_status_text(const survey::ProductStatus& status);

// The same facts as one JSON document (an object with "application",
// "all_running", "services", "networks", "volumes"), ending in "\n".
std::string render_status_json(const survey::ProductStatus& status);

// `bootstrap status [--json]`: the product's catalogue on the context's
// engine, printed on its output. Throws engine errors as gather_status does,
// and after printing, std::runtime_error listing the services whose
// container does not run.
void status_command(const Context& context, bool as_json);

}  // namespace bootstrap::app
