// API version strings ("1.41") as numbers, for comparison: the client's
// negotiation and the preflight check judge versions the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bootstrap::docker {

struct ApiVersion {
  int major = 0;
  int minor = 0;

  auto operator<=>(const ApiVersion&) const = default;
  std::string str() const { return std::to_string(major) + "." + std::to_string(minor); }
};

// Parses "<digits>.<digits>" ("1.41"); nullopt for anything else, including
// a leading "v", signs, blanks or a third component.
std::optional<ApiVersion> parse_api_version(std::string_view text);

}  // namespace bootstrap::docker
