#include "bootstrap/docker/engine_json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::docker::engine_json {

json parse(const std::string& context, const std::string& body) {
  json parsed;
  try {
    parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  } catch (const json::exception&) {
    // A number the parser cannot hold (1e999) throws even without exceptions.
    parsed = json(json::value_t::discarded);
  }
  if (parsed.is_discarded())
    throw MalformedAnswer(
        context + ": the engine's answer is not JSON: " + std::string(base::trim(body)).substr(0, 200));
  return parsed;
}

const json& require_list(const std::string& context, const json& value) {
  if (!value.is_array()) throw EngineError(context + ": the engine's answer is not a list");
  return value;
}

const json& require_object(const std::string& context, const json& value) {
  if (!value.is_object()) throw EngineError(context + ": the engine's answer is not an object");
  return value;
}

const json& object_at(const json& parent, const char* key) {
  static const json empty = json::object();
  if (!parent.is_object()) return empty;
  auto it = parent.find(key);
  return it != parent.end() && it->is_object() ? *it : empty;
}

std::string text(const json& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::string> texts(const json& object, const char* key) {
  std::vector<std::string> out;
  if (!object.is_object()) return out;
  auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return out;
  for (const json& entry : *it)
    if (entry.is_string()) out.push_back(entry.get<std::string>());
  return out;
}

bool flag(const json& object, const char* key) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

// Engines send counts as big as they like (1e300, 8888888888888888888888):
// a double outside int64 must never be cast.
std::optional<std::int64_t> whole_number(const json& value, std::int64_t lo, std::int64_t hi) {
  if (value.is_number_unsigned()) {
    const std::uint64_t n = value.get<std::uint64_t>();
    return n > static_cast<std::uint64_t>(hi) ? hi : std::max(lo, static_cast<std::int64_t>(n));
  }
  if (value.is_number_integer()) return std::clamp(value.get<std::int64_t>(), lo, hi);
  if (!value.is_number_float()) return std::nullopt;
  const double d = value.get<double>();
  if (!std::isfinite(d) || d != std::trunc(d)) return std::nullopt;
  // 2^63 is exactly representable; every double below it converts safely.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (d >= kTwo63) return hi;
  if (d < -kTwo63) return lo;
  return std::clamp(static_cast<std::int64_t>(d), lo, hi);
}

std::optional<std::int64_t> count(const std::string& context, const json& object, const char* key,
                                  std::int64_t lo, std::int64_t hi) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  std::optional<std::int64_t> n = whole_number(*it, lo, hi);
  if (!n)
    throw MalformedAnswer(context + ": \"" + key + "\" is not a whole number: " +
                          dump(*it).substr(0, 100));
  return n;
}

std::int64_t unix_time(const std::string& text) {
  std::tm parts{};
  int year = 0, month = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6 ||
      year < 1970)
    return 0;
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  std::int64_t seconds = ::timegm(&parts);
  // The engine writes UTC ("Z"); an explicit offset is honoured all the same.
  std::size_t zone = text.find_first_of("+-", 19);
  int hours = 0, minutes = 0;
  if (zone != std::string::npos &&
      std::sscanf(text.c_str() + zone + 1, "%2d:%2d", &hours, &minutes) == 2) {
    int offset = (hours * 60 + minutes) * 60;
    seconds += text[zone] == '+' ? -offset : offset;
  }
  return seconds;
}

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace bootstrap::docker::engine_json
