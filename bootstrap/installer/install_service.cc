#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/console.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::install_service(const ServiceDescription& service, bool update) {
  // Makes sure the engine has the image. A "latest" image is refreshed only on
  // update, and any repository is pulled at most once in this object's life,
  // so the seven roles of one application image cost one pull.
  auto check_image = [&](const std::string& image_name) {
    ImageReference reference = parse_image_reference(image_name);
    const std::string& repository = reference.repository;
    const std::string& tag_name = reference.tag;

    bool image_exists = true;
    bool pull_required = false;
    try {
      client->get_image(image_name);
      pull_required = tag_name == "latest";
    } catch (const docker::ImageNotFound&) {
      image_exists = false;
      pull_required = true;
    }
    if (pull_required && renewed_images.count(repository)) pull_required = false;

    if (image_exists) {
      if (!update || !pull_required) return;
      say("removing existing latest image " + repository);
      client->remove_image(repository, true);
    }
    if (!pull_required) return;

    if (!is_logged_in) login();
    say("pulling " + repository + " " + tag_name + ", please wait...");
    // A progress display learns that the pull has ended, however it ended,
    // from one empty event.
    struct EndOfPull {
      const docker::PullProgress& progress;
      ~EndOfPull() {
        if (progress) progress(docker::PullEvent{});
      }
    } end_of_pull{pull_progress};
    client->pull_image(repository, tag_name, pull_progress);
    renewed_images.insert(repository);
    say("pull successfull");
  };

  std::string container_name = layout_.container(service.name);
  say("installing " + container_name);
  check_image(service.image);
  prepare_container(service, container_name);
}

}  // namespace bootstrap::installer
