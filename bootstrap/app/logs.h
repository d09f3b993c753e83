// `bootstrap logs`: the product's container logs through the engine.
//
// Each named service's container and its numbered workers (every service of
// the catalogue when none is named) are read through the engine's logs
// endpoint, stdout and stderr alike, and printed one line at a time behind
// the container's name, padded so that the lines align; on a terminal each
// container's name has a colour of its own. Without follow the logs come one
// container after the other; with follow every container is read at once,
// each on its own engine connection, until they stop or Ctrl-C.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bootstrap::app {

class Context;

struct LogsRequest {
  std::vector<std::string> services;  // short names; empty: all
  std::optional<int> tail;            // last N lines of each
  std::optional<std::string> since;   // as parse_since() reads it
  bool follow = false;
  bool timestamps = false;
};

// Reads `--since`: a duration back from `now` ("90s", "10m", "1h30m", "2d")
// or a time ("2026-05-01", "2026-05-01T10:00:00", UTC unless it ends in an
// offset such as "+02:00"; or unix seconds). Returns unix seconds, or
// nothing when the text is neither.
std::optional<std::int64_t> parse_since(const std::string& text, std::int64_t now);

// The log lines of `request` on the context's engine, printed on its output,
// coloured when its terminal may be. Throws std::runtime_error when none of
// the services has a container (before reading any log),
// docker::Interrupted after Ctrl-C, and what the client throws.
void logs_command(const LogsRequest& request, const Context& context);

}  // namespace bootstrap::app
