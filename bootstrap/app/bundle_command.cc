#include "bootstrap/app/bundle_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>
#include <stdexcept>

#include "bootstrap/app/build_info.h"
#include "bootstrap/app/context.h"
#include "bootstrap/bundle/image_bundle.h"
#include "bootstrap/app/progress.h"
#include "bootstrap/base/live_lines.h"
#include "bootstrap/base/text.h"
#include "bootstrap/crypto/rsa.h"
#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::app {

namespace {

using installer::lumadex::LumadexInstaller;

// The live byte count of bundle::create's steps, on a terminal only.
class ByteCounter {
 public:
  ByteCounter(std::ostream& out, bool live) : screen_(out), live_(live) {}

  bundle::Progress progress() {
    if (!live_) return {};
    return [this](const std::string& what, std::uint64_t bytes) { show(what, bytes); };
  }

 private:
  void show(const std::string& what, std::uint64_t bytes) {
    const auto now = std::chrono::steady_clock::now();
    // A few redraws a second are enough to see it move.
    if (!what.empty() && what == shown_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    shown_ = what;
    if (what.empty())
      screen_.clear();
    else
      screen_.show({what + ": " + PullProgressView::human_bytes(static_cast<std::int64_t>(bytes))});
  }

  base::LiveLines screen_;
  bool live_;
  std::string shown_;
  std::chrono::steady_clock::time_point last_{};
};

std::string tag_of(const std::optional<std::string>& version) { return version.value_or("latest"); }

// The PEM key in the file `path` names for `option`, read as a private key
// (to sign with) or a public one; empty when no file is named.
std::string key_file(const std::string& option, const std::string& path, bool private_key) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(option + " " + path + ": " + std::strerror(errno));
  // A PEM RSA key is a few kilobytes; the limit keeps a wrong file out.
  constexpr std::size_t kMaxKeyBytes = 64 << 10;
  std::string text(kMaxKeyBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw std::runtime_error(option + " " + path + ": cannot be read");
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxKeyBytes)
    throw std::runtime_error(option + " " + path + ": too large for a PEM key");
  try {
    if (private_key)
      crypto::Rsa::sign("", text);
    else
      crypto::Rsa::fingerprint(text);
  } catch (const crypto::RsaError& e) {
    throw std::runtime_error(option + " " + path + ": " + e.what());
  }
  return text;
}

}  // namespace

void bundle_create_command(const BundleCreateRequest& request, LumadexInstaller& product,
                           docker::Client& client, const Output& output) {
  std::ostream& out = output.out;
  // Refused before the fetch, which may take long.
  if (!request.force && std::filesystem::exists(request.output))
    throw std::runtime_error("write " + request.output + ": the file exists (--force replaces it)");
  const std::string signing_key = key_file("--sign", request.signing_key_file, true);
  std::vector<std::string> references = product.fetch_images(request.version);
  output.say("saving " + std::to_string(references.size()) +
             " images: " + base::join(references, ", "));
  ByteCounter counter(out, output.terminal.tty);
  bundle::Manifest manifest =
      bundle::create(client,
                     bundle::CreateRequest{request.output, request.force, version_line(),
                                           tag_of(request.version), references, signing_key},
                     counter.progress());
  output.say("wrote " + request.output + " (" +
             std::to_string(std::filesystem::file_size(request.output)) +
             " bytes): " + std::to_string(manifest.images.size()) + " images, application tag " +
             manifest.application_tag +
             (signing_key.empty() ? ""
                                  : ", signed by key sha256:" +
                                        crypto::Rsa::fingerprint(signing_key)));
}

void bundle_inspect_command(const std::string& path, const std::string& trust, std::ostream& out) {
  bundle::VerifiedBundle bundle = bundle::verify(path, {key_file("--trust", trust, false), false});
  bundle::print(bundle.manifest(), out);
  out << bundle.signature_line() << "\n"
      << "every member matches its size and SHA-256" << std::endl;
}

void bundle_push_command(const BundlePushRequest& request, LumadexInstaller& product,
                         docker::Client& client, const Output& output) {
  output.say("checking bundle " + request.path);
  const bundle::VerifiedBundle bundle =
      bundle::verify(request.path, {key_file("--trust", request.trust, false), true});
  output.say(bundle.signature_line());
  const bundle::Manifest& manifest = bundle.manifest();
  const std::optional<std::string> version =
      manifest.application_tag == "latest" ? std::nullopt
                                           : std::optional<std::string>(manifest.application_tag);
  // A bundle made with --registry names its images after that registry; the
  // catalogue's names are what every registry's names are made from.
  std::vector<std::pair<std::string, std::string>> pushes;  // bundle's name, registry's name
  for (const std::string& name : LumadexInstaller::image_references(version)) {
    auto held = std::find_if(manifest.images.begin(), manifest.images.end(),
                             [&](const bundle::Image& image) {
                               return image.reference == name ||
                                      image.reference.ends_with("/" + name);
                             });
    if (held == manifest.images.end())
      throw std::runtime_error(request.path + " lacks the image " + name + " the product runs");
    pushes.emplace_back(held->reference, installer::registry_reference(name, request.registry));
  }
  product.log_in(client, request.registry);
  output.say("loading " + std::to_string(manifest.images.size()) + " images from " +
             request.path);
  bundle::load(client, bundle);

  // Names the engine had before are the operator's; only those added here go.
  std::vector<std::string> added;
  auto remove_added = [&] {
    for (const std::string& name : added) {
      try {
        client.remove_image(name, false);
      } catch (const docker::EngineError& e) {
        output.say("could not remove the name " + name + ": " + e.what());
      }
    }
  };
  try {
    for (const auto& [source, target] : pushes) {
      const base::ImageReference name = base::parse_image_reference(target);
      bool existed = true;
      try {
        client.get_image(target);
      } catch (const docker::ImageNotFound&) {
        existed = false;
      }
      client.tag_image(source, name.repository, name.tag);
      if (!existed) added.push_back(target);
      output.say("pushing " + target);
      std::string digest;
      try {
        digest = client.push_image(name.repository, name.tag);
      } catch (const docker::ApiError& e) {
        if (installer::asks_for_login(e))
          throw installer::RegistryLoginNeeded(base::registry_host(target));
        throw;
      }
      output.say("pushed " + name.repository + "@" + digest);
    }
  } catch (...) {
    remove_added();
    throw;
  }
  remove_added();
  output.say(std::to_string(pushes.size()) + " images pushed to " + request.registry);
}

BundleInstall prepare_bundle_install(const std::string& path,
                                     const std::optional<std::string>& version,
                                     const std::string& trust, const Output& output,
                                     const std::string& registry) {
  output.say("checking bundle " + path);
  auto bundle = std::make_shared<const bundle::VerifiedBundle>(
      bundle::verify(path, {key_file("--trust", trust, false), true}));
  const bundle::Manifest& manifest = bundle->manifest();
  output.say(bundle->signature_line());
  if (version && *version != manifest.application_tag)
    throw std::runtime_error(path + " holds " + LumadexInstaller::main_service + ":" +
                             manifest.application_tag + ", not the " + *version +
                             " --version asks for");
  BundleInstall install;
  install.version = version;
  if (!version && manifest.application_tag != "latest") install.version = manifest.application_tag;
  for (const std::string& reference : LumadexInstaller::image_references(install.version, registry))
    if (!manifest.holds(reference))
      throw std::runtime_error(path + " lacks the image " + reference + " the product runs");
  for (const bundle::Image& image : manifest.images)
    install.images.references.push_back(image.reference);
  output.say("bundle of " + std::to_string(manifest.images.size()) +
             " images checked, application tag " + manifest.application_tag);
  install.images.load = [path, bundle, &output](docker::Client& client) {
    output.say("loading " + std::to_string(bundle->manifest().images.size()) +
               " images from " + path);
    bundle::load(client, *bundle);
  };
  return install;
}

}  // namespace bootstrap::app
