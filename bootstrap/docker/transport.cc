#include "bootstrap/docker/transport.h"

#include <algorithm>
#include <cctype>

namespace bootstrap::docker {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equals_ignoring_case(key, name)) return value;
  }
  return std::nullopt;
}

}  // namespace bootstrap::docker
