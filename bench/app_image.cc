#include "bench/app_image.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bench/measure.h"

namespace fs = std::filesystem;

namespace kestro::bench {
namespace {

constexpr const char* kRepository = "lmdx2/app";
constexpr const char* kManifestType = "application/vnd.docker.distribution.manifest.v2+json";

// `mb` MB of random bytes at `path`, written a MB at a time.
void write_random(const fs::path& path, int mb) {
  std::ifstream random("/dev/urandom", std::ios::binary);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::array<char, 1 << 20> block{};
  for (int i = 0; i < mb; ++i) {
    random.read(block.data(), block.size());
    out.write(block.data(), random.gcount());
  }
  if (!random || !out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

AppImages make_app_images(Session& session, const std::string& registry, int layer_mb) {
  Runner& r = session.runner();
  const auto t0 = std::chrono::steady_clock::now();
  AppImages images;
  images.registry = registry;
  images.layer_mb = layer_mb;
  images.tags = {"bench-a", "bench-b"};
  const fs::path dir = session.options().out / "app-image";
  fs::remove_all(dir);
  fs::create_directories(dir);
  // The layer is a file of its own on top of everything the stand-in has, so
  // the application starts as it always does.
  std::ofstream(dir / "Dockerfile") << "FROM " << kRepository << ":latest\n"
                                    << "COPY filler /opt/lumadex-filler\n";
  std::vector<std::string> pushed;
  for (const std::string& tag : images.tags) {
    session.progress("application image " + tag + ": " + std::to_string(layer_mb) +
                     " MB layer, build and push");
    write_random(dir / "filler", layer_mb);
    const std::string name = registry + "/" + kRepository + ":" + tag;
    r.run({"docker", "build", "-q", "-t", name, dir.string()}, "app-image-build-" + tag, false);
    r.run({"docker", "push", name}, "app-image-push-" + tag, false);
    pushed.push_back(name);
  }
  fs::remove_all(dir);
  // Nothing of either variant stays in the engine: the first fetch is whole.
  pushed.push_back(std::string(kRepository) + ":latest");
  std::vector<std::string> rmi{"docker", "rmi"};
  rmi.insert(rmi.end(), pushed.begin(), pushed.end());
  r.run(rmi, "app-image-rmi", false);
  point_latest_at(session, images, 0);
  images.make_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return images;
}

void point_latest_at(Session& session, AppImages& images, int variant) {
  point_latest_at_tag(session, images, images.tags.at(variant));
  images.latest = variant;
}

void point_latest_at_tag(Session& session, const AppImages& images, const std::string& tag) {
  const std::string base = "http://" + images.registry + "/v2/" + kRepository + "/manifests/";
  const std::string manifest = (session.options().out / "app-image-manifest.json").string();
  // The registry's own API: the manifest of the tag, stored again under
  // latest; no layer moves.
  const std::string script = "curl -fsS -H 'Accept: " + std::string(kManifestType) + "' -o '" +
                             manifest + "' '" + base + tag +
                             "' && curl -fsS -X PUT -H 'Content-Type: " + kManifestType +
                             "' --data-binary @'" + manifest + "' '" + base + "latest'";
  session.runner().run({"sh", "-c", script}, "app-image-latest-" + tag, false);
}

}  // namespace kestro::bench
