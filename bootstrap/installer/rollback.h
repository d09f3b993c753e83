// Keeping what ran before an update until the update has settled.
//
// An update moves image tags (a pull of "latest", a load, another version).
// Before it does, an ImageKeeper gives each image the update may replace a
// tag of ours as well, so the engine keeps it whatever happens to the tag the
// containers name; if the new version does not stay up, restore() makes each
// reference name the kept image again and a plan computed afresh
// (plan_update_in_place) recreates what runs the new one. Once the update has
// settled, release() drops our tags, and with them the images nothing else
// names or runs.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "bootstrap/docker/client.h"
#include "bootstrap/installer/phase.h"

namespace bootstrap::installer {

// The tag the kept images carry: "lmdx2/app:kestro-rollback".
inline constexpr const char* kRollbackTag = "kestro-rollback";

// An operation failed and what ran before it runs again; what() is the one
// line the operator is told ("update failed: ...; rolled back to ...").
class RolledBack : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ImageKeeper {
 public:
  struct Kept {
    std::string reference;   // "lmdx2/app:latest"
    std::string repository;  // "lmdx2/app"
    std::string tag;         // "latest"
    std::string id;          // the id it named when kept
  };

  // Keeps nothing yet; `client` must outlive the keeper.
  explicit ImageKeeper(docker::Client& client) : client_(client) {}

  // Tags the image each reference names now as repository:kRollbackTag and
  // remembers its id; a reference the engine lacks, or one kept already, is
  // skipped. Engine errors reach the caller.
  void keep(const std::vector<std::string>& references);

  // What is kept, in the order kept.
  const std::vector<Kept>& kept() const { return kept_; }

  // The kept references that now name another image, with the id each names
  // now (empty when the engine lacks it). Engine errors reach the caller.
  std::vector<std::pair<Kept, std::string>> moved();

  // Makes every kept reference name its kept image again. Engine errors
  // reach the caller.
  void restore();

  // Removes our tags; an image nothing else names or runs goes with its tag.
  // One the engine still needs stays, said on `console`. Never throws an
  // engine's refusal; an unreachable engine reaches the caller.
  void release(const base::Console& console);

 private:
  docker::Client& client_;
  std::vector<Kept> kept_;
};

}  // namespace bootstrap::installer
