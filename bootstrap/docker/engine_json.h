// Reading the engine's JSON answers: the one set of rules every codec of
// this module follows (the container and image readers in docker_client.cc,
// the swarm readers in swarm_codec.cc). Private to the module: it exposes
// nlohmann::json, which the public headers keep out.
//
// The rules:
// - Text that is not JSON, or holds a number JSON cannot hold (1e999), is
//   MalformedAnswer, with what we were doing in front.
// - A document of the wrong shape (a list where an object is due) is
//   EngineError.
// - A member the engine leaves out, or sends with another type, reads as
//   empty text or an empty list; an object member that is not an object
//   reads as an empty object.
// - A count is a JSON number without fraction. Beyond its field's range it is
//   clamped; absent or null it is absent; anything else (1.5, "8", true) is
//   MalformedAnswer: a garbled count is never read as some other number.
// - A time is RFC 3339 ("2024-05-01T10:00:00.123456789Z", or with an offset
//   such as "+02:00", which is honoured); the engine's zero time
//   ("0001-01-01T00:00:00Z") and anything unreadable read as 0.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace bootstrap::docker::engine_json {

using json = nlohmann::json;

// The answer as JSON. Throws MalformedAnswer for text that is not JSON.
json parse(const std::string& context, const std::string& body);
// `value` itself. Throws EngineError unless it is a list.
const json& require_list(const std::string& context, const json& value);
// `value` itself. Throws EngineError unless it is an object.
const json& require_object(const std::string& context, const json& value);

// Member `key` of `parent` when both are objects; an empty object otherwise.
const json& object_at(const json& parent, const char* key);
// Text member `key`, or "" when absent or not text.
std::string text(const json& object, const char* key);
// The text entries of list member `key` (others skipped); empty when absent.
std::vector<std::string> texts(const json& object, const char* key);
// Boolean member `key`, false when absent or not a boolean.
bool flag(const json& object, const char* key);

// A JSON number without fraction, clamped to [lo, hi]; nullopt for anything
// else. Never throws.
std::optional<std::int64_t> whole_number(const json& value, std::int64_t lo, std::int64_t hi);
// Count member `key` clamped to [lo, hi]: nullopt when absent or null.
// Throws MalformedAnswer for any other value that is not a whole number.
std::optional<std::int64_t> count(const std::string& context, const json& object, const char* key,
                                  std::int64_t lo = std::numeric_limits<std::int64_t>::min(),
                                  std::int64_t hi = std::numeric_limits<std::int64_t>::max());

// An RFC 3339 time as unix seconds, 0 for the zero time and for anything
// unreadable. Never throws.
std::int64_t unix_time(const std::string& text);

// JSON text for a request; strings that are not UTF-8 get U+FFFD rather than
// failing the dump.
std::string dump(const json& value);

}  // namespace bootstrap::docker::engine_json
