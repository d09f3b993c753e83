#include "bootstrap/base/image_reference.h"

#include <regex>

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

bool is_image_tag(std::string_view tag) {
  static const std::regex kTag("[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}");
  return tag.size() <= 128 && std::regex_match(tag.begin(), tag.end(), kTag);
}

bool is_image_reference(std::string_view reference) {
  // Docker's own grammar for a name (host parts, then path parts whose
  // separators are ".", "_", "__" or dashes), with the tag and digest split
  // off first: a ":" in the name belongs to the host's port.
  static const std::regex kName(
      "(?:[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?)*"
      "(?::[0-9]{1,5})?/)?"
      "[a-z0-9]+(?:(?:[._]|__|-+)[a-z0-9]+)*(?:/[a-z0-9]+(?:(?:[._]|__|-+)[a-z0-9]+)*)*");
  static const std::regex kDigest("sha256:[a-f0-9]{64}");
  std::string_view name = reference;
  if (const std::size_t at = name.find('@'); at != std::string_view::npos) {
    const std::string_view digest = name.substr(at + 1);
    if (!std::regex_match(digest.begin(), digest.end(), kDigest)) return false;
    name = name.substr(0, at);
  }
  const std::size_t slash = name.rfind('/');
  if (const std::size_t colon = name.find(':', slash == std::string_view::npos ? 0 : slash + 1);
      colon != std::string_view::npos) {
    if (!is_image_tag(name.substr(colon + 1))) return false;
    name = name.substr(0, colon);
  }
  return !name.empty() && name.size() <= 255 && std::regex_match(name.begin(), name.end(), kName);
}

std::string registry_host(std::string_view reference) {
  const std::size_t slash = reference.find('/');
  if (slash == std::string_view::npos) return "docker.io";
  std::string_view first = reference.substr(0, slash);
  const bool host = first.find('.') != std::string_view::npos ||
                    first.find(':') != std::string_view::npos || first == "localhost";
  if (!host || first == "index.docker.io" || first == "registry-1.docker.io") return "docker.io";
  return std::string(first);
}

}  // namespace bootstrap::base
