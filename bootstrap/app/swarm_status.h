// `bootstrap status` for a product installed on a swarm.
#pragma once

#include <ostream>

namespace bootstrap::app {

class Context;

// Prints each service's replicas (running of desired), image, the nodes its
// running tasks are on and its newest task error, then the overlay networks;
// as one JSON document with `as_json`. Throws engine errors, and after
// printing, std::runtime_error listing the services short of their replicas.
// Reads the context's engine and prints on its output.
void swarm_status_command(const Context& context, bool as_json);

}  // namespace bootstrap::app
