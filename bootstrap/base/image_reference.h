// Image references as the installer and the engine client read them.
#pragma once

#include <string>
#include <string_view>

namespace bootstrap::base {

// An image reference split into what a pull asks for. The tag comes only from
// a ":" after the last "/", so "registry.local:5000/app" is the repository
// "registry.local:5000/app" with the tag "latest"; parts after a second ":"
// are ignored. "app@sha256:..." is pulled by its digest (tag holds
// "sha256:...", is_digest is set).
struct ImageReference {
  std::string repository;
  std::string tag;
  bool is_digest = false;
  bool operator==(const ImageReference&) const = default;
};

// Splits `reference`; never throws (every text is some reference).
ImageReference parse_image_reference(std::string_view reference);

// A Docker Hub reference as Docker shows it, without the "docker.io/"
// registry and the "library/" namespace that Podman spells out
// ("docker.io/library/redis:6.0.4" is "redis:6.0.4"); other references come
// back as they are. Never throws.
std::string familiar_image_name(std::string_view reference);

// The registry host (with port) an image reference is fetched from:
// "registry.local:5000" for "registry.local:5000/app", "docker.io" for
// "redis:6.0.4", "lmdx2/app" and "index.docker.io/library/redis". Docker
// reads a first part as a host only when it has a dot or a port or is
// "localhost". Never throws.
std::string registry_host(std::string_view reference);

// Whether `tag` is a tag as the engine accepts one: a letter, digit or "_",
// then up to 127 of those, dots and dashes. Never throws.
bool is_image_tag(std::string_view tag);

// Whether `reference` is an image reference as the engine accepts one: an
// optional registry host ("registry.local:5000/"), lower-case path parts
// joined by "/", then an optional ":TAG" (is_image_tag) and an optional
// "@sha256:" with 64 hex digits; at most 255 characters before the tag.
// Never throws.
bool is_image_reference(std::string_view reference);

}  // namespace bootstrap::base
