// The realistic application image. The sandbox's stand-in lmdx2/app is a few
// MB of busybox; a real application image is hundreds of MB, and what an
// operator waits for in an update is largely its fetch. The benchmark makes
// two variants, each the stand-in plus one layer of kAppImageMb MB from
// /dev/urandom (incompressible, so the registry's gzip and the engine's
// gunzip cost what a real image's would), pushes them to the sandbox's mirror
// registry as lmdx2/app:bench-a and lmdx2/app:bench-b, and removes them from
// the engine again. The tag the product pulls, lmdx2/app:latest, is then
// moved between the two inside the registry (the manifest copied), so every
// fetch after a move brings the whole layer.
#pragma once

#include <string>
#include <vector>

namespace kestro::bench {

class Session;

// The size of each variant's own layer.
constexpr int kAppImageMb = 300;

// The two variants in the registry, and which one lmdx2/app:latest names.
struct AppImages {
  std::string registry;           // host:port of the mirror registry
  int layer_mb = 0;               // the size of each variant's own layer
  std::vector<std::string> tags;  // the variants' tags in lmdx2/app
  int latest = -1;                // the variant latest names
  double make_s = 0;              // what making and pushing both took
};

// Builds and pushes both variants through the docker CLI (the engine pulls
// the stand-in they start from through the same registry), removes them and
// the stand-in from the engine and points latest at the first. Throws
// std::runtime_error when a step fails.
AppImages make_app_images(Session& session, const std::string& registry, int layer_mb);

// Points the registry's lmdx2/app:latest at variant `variant`. Throws
// std::runtime_error when the registry refuses.
void point_latest_at(Session& session, AppImages& images, int variant);
// Points the registry's lmdx2/app:latest at the tag `tag` of lmdx2/app,
// which need not be a variant (images.latest stays). Throws as
// point_latest_at does.
void point_latest_at_tag(Session& session, const AppImages& images, const std::string& tag);

}  // namespace kestro::bench
