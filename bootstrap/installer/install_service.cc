#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::fetch_image(const std::string& image_name, bool renew) {
  // A "latest" image is refreshed only when asked to renew, and any
  // repository is pulled at most once in this object's life, so the seven
  // roles of one application image cost one pull.
  ImageReference reference = parse_image_reference(image_name);
  const std::string& repository = reference.repository;
  const std::string& tag_name = reference.tag;
  std::optional<std::string> old_id;
  try {
    old_id = client->get_image(image_name);
  } catch (const docker::ImageNotFound&) {
  }
  bool pull_required = !old_id || (renew && tag_name == "latest");
  if (!pull_required || renewed_images.count(repository)) return;

  if (!is_logged_in) login();
  say("pulling " + repository + " " + tag_name + ", please wait...");
  {
    // A progress display learns that the pull has ended, however it ended,
    // from one empty event.
    struct EndOfPull {
      const docker::PullProgress& progress;
      ~EndOfPull() {
        if (progress) progress(docker::PullEvent{});
      }
    } end_of_pull{pull_progress};
    client->pull_image(repository, tag_name, pull_progress);
  }
  renewed_images.insert(repository);
  say("pull successfull");
  // The old image stays until the containers that run it are gone: the pull
  // only moves the tag.
  if (old_id && client->get_image(image_name) != *old_id)
    replaced_images.emplace_back(repository, *old_id);
}

void KestroInstaller::fetch_images(bool renew) {
  for (const ServiceDescription& s : services) fetch_image(s.image, renew);
}

void KestroInstaller::fetch_images() {
  try {
    fetch_images(true);
  } catch (const docker::EngineError& e) {
    throw std::runtime_error(std::string("nothing was changed: ") + e.what());
  }
}

void KestroInstaller::load_images(const std::vector<std::string>& references,
                                  const std::function<void(docker::Client&)>& load) {
  auto image_id = [this](const std::string& reference) -> std::optional<std::string> {
    try {
      return client->get_image(reference);
    } catch (const docker::ImageNotFound&) {
      return std::nullopt;
    }
  };
  try {
    std::vector<std::optional<std::string>> before;
    for (const std::string& reference : references) before.push_back(image_id(reference));
    load(*client);
    for (std::size_t i = 0; i < references.size(); ++i) {
      ImageReference reference = parse_image_reference(references[i]);
      // The bundle is the source of these images now: a pull would reach for
      // the registry this host may not have.
      renewed_images.insert(reference.repository);
      if (reference.tag != "latest" || !before[i]) continue;
      // A dry run loads nothing, so the image may still be missing.
      std::optional<std::string> after = image_id(references[i]);
      if (after && *after != *before[i]) replaced_images.emplace_back(reference.repository, *before[i]);
    }
  } catch (const docker::EngineError& e) {
    throw std::runtime_error(std::string("nothing was changed: ") + e.what());
  }
}

void KestroInstaller::remove_replaced_images() {
  for (const auto& [repository, id] : replaced_images) {
    say("removing existing latest image " + repository);
    try {
      client->remove_image(id, false);
    } catch (const docker::NotFound&) {
      // Gone already: nothing left to remove.
    } catch (const docker::ApiError& e) {
      // The update itself has succeeded; an image some container still runs
      // is only left behind.
      if (e.status() != 409) throw;
      say("could not remove the replaced image " + id.substr(0, 19) + " of " + repository +
          ": it is still in use");
    }
  }
  replaced_images.clear();
}

void KestroInstaller::install_service(const ServiceDescription& service, bool update) {
  std::string container_name = layout_.container(service.name);
  say("installing " + container_name);
  fetch_image(service.image, update);
  prepare_container(service, container_name);
  recreate_changed_workers(service);
}

}  // namespace bootstrap::installer
