// Placement of a layout's services on a swarm of several nodes.
//
// A named volume lives on the node whose engine created it, so a service that
// keeps data in one must always run on that node: it is pinned there by a node
// label the installer sets, and its tasks are never rescheduled elsewhere.
// Services without data may run on any node. These are pure functions of the
// layout and the definitions; they ask no engine anything and never throw.
#pragma once

#include <string>

#include "bootstrap/installer/layout.h"

namespace bootstrap::installer {

// Whether the container keeps data in a named volume of the layout, so its
// service's tasks must stay on the node that holds that volume. Host paths are
// the node's own files, not the service's data, and a volume whose short name
// begins with "temp" holds scratch files a task may lose when it moves.
bool keeps_data(const ContainerDefinition& definition);

// The node label that pins a service: "io.kestro.place.<engine name>", e.g.
// "io.kestro.place.lumadex-search" (engine name = layout.name_of(service)).
std::string placement_label(const Layout& layout, const std::string& service);

// The service's placement constraint: "node.labels.<placement_label>==true".
std::string placement_constraint(const Layout& layout, const std::string& service);

}  // namespace bootstrap::installer
