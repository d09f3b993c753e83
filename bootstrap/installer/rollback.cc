#include "bootstrap/installer/rollback.h"

#include "bootstrap/base/image_reference.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/plan.h"

namespace bootstrap::installer {

void ImageKeeper::keep(const std::vector<std::string>& references) {
  for (const std::string& text : references) {
    base::ImageReference reference = base::parse_image_reference(text);
    // A digest names one image for good: nothing can move it.
    if (reference.is_digest) continue;
    const std::string full = reference.repository + ":" + reference.tag;
    bool known = false;
    for (const Kept& k : kept_) known |= k.reference == full || k.repository == reference.repository;
    if (known) continue;
    std::string id;
    try {
      id = client_.get_image(full);
    } catch (const docker::ImageNotFound&) {
      continue;
    }
    client_.tag_image(id, reference.repository, kRollbackTag);
    kept_.push_back(Kept{full, reference.repository, reference.tag, id});
  }
}

std::vector<std::pair<ImageKeeper::Kept, std::string>> ImageKeeper::moved() {
  std::vector<std::pair<Kept, std::string>> out;
  for (const Kept& k : kept_) {
    std::string now;
    try {
      now = client_.get_image(k.reference);
    } catch (const docker::ImageNotFound&) {
    }
    if (short_id(now) != short_id(k.id)) out.emplace_back(k, now);
  }
  return out;
}

void ImageKeeper::restore() {
  for (const Kept& k : kept_) client_.tag_image(k.id, k.repository, k.tag);
}

void ImageKeeper::release(const base::Console& console) {
  for (const Kept& k : kept_) {
    try {
      client_.remove_image(k.repository + ":" + kRollbackTag, false);
    } catch (const docker::NotFound&) {
      // Someone removed it already.
    } catch (const docker::ApiError& e) {
      if (e.status() != 409) throw;
      console.say("keeping the previous image " + short_id(k.id) + " of " + k.repository +
            ": it is still in use");
    }
  }
  kept_.clear();
}

}  // namespace bootstrap::installer
