// Image bundles: every image the product runs, in one file, for hosts that
// cannot reach a registry.
//
// A bundle is a zstd-compressed tar (libarchive) of two members in this order:
// manifest.json, then images.tar, the engine's own archive of the images (what
// Client::save_images writes and Client::load_images reads). The manifest says
// what the file holds: its format version (1), when and by which program it was
// made, the application tag, each image's reference and id, and the size and
// SHA-256 of every other member. An archive passes through in pieces of
// kPieceBytes, whatever its size: none is ever held whole in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrap/docker/client.h"

namespace bootstrap::app::bundle {

inline constexpr int kFormatVersion = 1;
inline constexpr const char* kManifestMember = "manifest.json";
inline constexpr const char* kImagesMember = "images.tar";
inline constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

struct Image {
  std::string reference;  // "lmdx2/app:latest"
  std::string id;         // the engine's image id, "sha256:..."
  bool operator==(const Image&) const = default;
};

struct Member {
  std::string name;
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
  bool operator==(const Member&) const = default;
};

struct Manifest {
  int format = kFormatVersion;
  std::string created;          // UTC, "2026-12-09T01:02:03Z"
  std::string program;          // what `bootstrap --version` printed
  std::string application_tag;  // the application image's tag: "latest", "2.3"
  std::vector<Image> images;
  std::vector<Member> members;  // every member but the manifest itself
  bool operator==(const Manifest&) const = default;

  // The member called `name`, or nullptr.
  const Member* member(std::string_view name) const;
  // Whether an image of the bundle has this reference.
  bool holds(std::string_view reference) const;
};

// A bundle that cannot be used as it is; what() is one line, "FILE is
// damaged: WHY" for a file that does not match its manifest.
class BundleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The manifest as JSON text.
std::string manifest_json(const Manifest& manifest);
// Reads manifest text. Throws BundleError (without a file name) when it is not
// a manifest, or one of another format version.
Manifest parse_manifest(std::string_view text);

// Told how far a long step has got: what it does ("saving images", "writing
// FILE") and the bytes done so far; an empty `what` means the step has ended.
using Progress = std::function<void(const std::string& what, std::uint64_t bytes)>;

struct CreateRequest {
  std::string path;
  bool force = false;  // replace an existing file
  std::string program;
  std::string application_tag;
  std::vector<std::string> references;  // every image to carry, each in the engine
};

// Writes the bundle of request.references to request.path and returns its
// manifest. The engine's archive first goes to an unnamed temporary file
// beside the target (a tar member's size comes before its bytes), then the
// bundle is written to PATH.tmp-XXXXXX and renamed to PATH once complete, so a
// failed run leaves no file behind. `progress` may be empty. Throws
// std::runtime_error naming the file when it exists without `force` (before
// asking the engine anything) or a write fails; engine errors reach the
// caller unchanged.
Manifest create(docker::Client& client, const CreateRequest& request, const Progress& progress);

// Reads every byte of the bundle at `path` and checks each member's size and
// SHA-256 against the manifest; returns the manifest. Throws BundleError
// "PATH is damaged: ..." for a file that is truncated, undecodable, lacks a
// member or has one that does not match, and std::runtime_error when it
// cannot be opened.
Manifest verify(const std::string& path);

// Loads the images of the bundle at `path` into the engine, decompressing the
// archive as the engine reads it. Meant for a bundle verify() has passed:
// one that changed since is caught only after the engine has read it, and then
// throws BundleError as verify() does. Engine errors reach the caller.
void load(docker::Client& client, const std::string& path, const Manifest& manifest);

// Writes the manifest for people, one fact a line.
void print(const Manifest& manifest, std::ostream& out);

}  // namespace bootstrap::app::bundle
