// `bootstrap support-bundle`: the support bundle (support/support_bundle.h)
// of the context's host and engine, with status and preflight rendered as
// their own commands render them.
#pragma once

#include <string>

namespace bootstrap::app {

class Context;

// `bootstrap support-bundle [-o FILE]`: makes the bundle at `output`
// (support::default_bundle_name() in the current folder when empty), then
// prints on the context's output how many items could not be collected, if
// any, and the bundle's path and size. Throws as
// support::make_support_bundle() does.
void support_bundle_command(const std::string& output, Context& context);

}  // namespace bootstrap::app
