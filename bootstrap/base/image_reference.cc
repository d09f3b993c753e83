#include "bootstrap/base/image_reference.h"

namespace bootstrap::base {

ImageReference parse_image_reference(std::string_view reference) {
  const std::size_t at = reference.find('@');
  if (at != std::string_view::npos)
    return {std::string(reference.substr(0, at)), std::string(reference.substr(at + 1)), true};
  // Only a ':' after the last '/' separates a tag; one before it belongs to a
  // registry address with a port.
  const std::size_t slash = reference.rfind('/');
  const std::size_t colon = reference.find(':', slash == std::string_view::npos ? 0 : slash + 1);
  if (colon == std::string_view::npos) return {std::string(reference), "latest", false};
  const std::size_t next = reference.find(':', colon + 1);
  const std::string_view tag =
      reference.substr(colon + 1, next == std::string_view::npos ? std::string_view::npos
                                                                 : next - colon - 1);
  return {std::string(reference.substr(0, colon)), std::string(tag), false};
}

std::string familiar_image_name(std::string_view reference) {
  constexpr std::string_view kHub = "docker.io/";
  constexpr std::string_view kOfficial = "library/";
  if (!reference.starts_with(kHub)) return std::string(reference);
  reference.remove_prefix(kHub.size());
  // "library/" is dropped only from a one-part name: "library/a/b" keeps it.
  const std::string_view rest = reference.substr(kOfficial.size());
  if (reference.starts_with(kOfficial) && rest.substr(0, rest.find_first_of(":@")).find('/') ==
                                              std::string_view::npos)
    reference = rest;
  return std::string(reference);
}

}  // namespace bootstrap::base
