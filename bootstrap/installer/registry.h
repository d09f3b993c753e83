// Registries: where the catalogue's images come from.
//
// The catalogue names its images as Docker Hub knows them ("redis:6.0.4",
// "lmdx2/app"). An operator who keeps them in a registry of their own names
// it as HOST[:PORT][/PREFIX], and each image is then looked for under that
// name in front of the catalogue's ("registry.example:5000/mirror/redis:6.0.4").
// The registry an installation came from is kept on its containers and swarm
// services (kRegistryLabel), so that later operations fetch from the same one.
#pragma once

#include <stdexcept>
#include <string>

#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/errors.h"

namespace bootstrap::installer {

// The label on containers and swarm services that names the registry their
// images came from; absent for the public names.
inline constexpr const char* kRegistryLabel = "io.kestro.registry";

// The registry that stands for the catalogue's own (public) names.
inline constexpr const char* kPublicRegistry = "docker.io";

// `registry` as the operator wrote it, checked and made canonical: without a
// trailing "/", and "" for docker.io (the public names). Throws
// std::invalid_argument saying what is wrong with it (a scheme, a tag, an
// empty or upper-case path part, a host without a dot, a colon or
// "localhost").
std::string canonical_registry(const std::string& registry);

// The catalogue image `image` as it is fetched from `registry` (canonical):
// unchanged for "", else registry "/" image. Never throws.
std::string registry_reference(const std::string& image, const std::string& registry);

// The registry host an image reference is fetched from (image_reference.h).
using base::registry_host;

// Whether the engine's refusal means that the registry wants credentials it
// did not get (or refused those it got). Never throws.
bool asks_for_login(const docker::ApiError& error);

// A registry refused to serve without a (valid) login. The text is the
// operator's instruction, without the command's name.
class RegistryLoginNeeded : public std::runtime_error {
 public:
  explicit RegistryLoginNeeded(const std::string& host);
  const std::string& host() const { return host_; }

 private:
  std::string host_;
};

}  // namespace bootstrap::installer
