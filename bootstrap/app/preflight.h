// `bootstrap preflight`: the results of survey::run_preflight() rendered as
// lines or one JSON document.
#pragma once

#include <string>
#include <vector>

#include "bootstrap/survey/preflight.h"

namespace bootstrap::app {

class Context;

// One line per check ("warn  memlock           ..."), its advice on the next
// line for checks that did not pass, then a count of each level.
std::string render_preflight_text(const std::vector<survey::CheckResult>& results);

// One JSON document: "passed" (no check failed) and "checks", each with its
// name, level, reason and advice.
std::string render_preflight_json(const std::vector<survey::CheckResult>& results);

// `bootstrap preflight`: every check for the product's catalogue on the
// context's host and engine, printed on its output as text or, with
// `as_json`, as render_preflight_json. Throws docker::ConfigError for an
// unusable DOCKER_HOST, and after printing, std::runtime_error naming the
// checks that failed.
void preflight_command(Context& context, bool as_json = false);

}  // namespace bootstrap::app
