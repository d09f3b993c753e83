// Image bundles: every image the product runs, in one file, for hosts that
// cannot reach a registry.
//
// A bundle is a zstd-compressed tar (libarchive) of these members in this
// order: manifest.json; manifest.sig in a signed bundle; images.tar, the
// engine's own archive of the images (what Client::save_images writes and
// Client::load_images reads). The manifest says what the file holds: its
// format version (1), when and by which program it was made, the application
// tag, each image's reference and id, and the size and SHA-256 of every member
// but the manifest and its signature. manifest.sig holds the signer's RSA
// public key and a PKCS#1 v1.5 SHA-256 signature of the manifest's bytes; as
// the manifest holds every other member's SHA-256, it covers the whole file.
// An archive passes through in pieces of kPieceBytes, whatever its size: none
// is ever held whole in memory.
//
// A bundle is read once, from one descriptor, with only the zstd filter and
// the tar format (never an outside decompressor). Each member is read no
// further than the size the manifest gives it, and the images reach the
// engine only from a private copy made while they were hashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrap/docker/client.h"

namespace bootstrap::bundle {

inline constexpr int kFormatVersion = 1;
inline constexpr const char* kManifestMember = "manifest.json";
inline constexpr const char* kSignatureMember = "manifest.sig";
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
// a manifest, one of another format version, or one whose application tag or
// image references the engine would not take as such (base/image_reference.h).
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
  std::string signing_key;  // a PEM RSA private key; empty for an unsigned bundle
};

// Writes the bundle of request.references to request.path, signed when
// request.signing_key is set, and returns its manifest. The engine's archive
// first goes to an unnamed temporary file beside the target (a tar member's
// size comes before its bytes), then the bundle is written to
// a hidden name in PATH's folder and renamed to PATH once complete, so a failed run leaves
// no file behind. `progress` may be empty. Throws std::runtime_error naming
// the file when it exists without `force` and crypto::RsaError for a signing
// key that is no RSA private key (each before asking the engine anything),
// std::runtime_error when a write fails; engine errors reach the caller
// unchanged.
Manifest create(docker::Client& client, const CreateRequest& request, const Progress& progress);

// How verify() treats a bundle.
struct VerifyOptions {
  // A PEM public key; when set, only a bundle signed by this key passes.
  std::string trusted_key;
  // Keep a private copy of the images for load(); inspecting needs none.
  bool keep_images = false;
};

// A bundle verify() has passed: its manifest, who signed it, and with
// keep_images its images, in an unnamed file only this process can reach.
class VerifiedBundle {
 public:
  const std::string& name() const { return name_; }
  const Manifest& manifest() const { return manifest_; }
  // The SHA-256 of the signing key's DER SubjectPublicKeyInfo, as hex
  // (crypto::Rsa::fingerprint); empty for an unsigned bundle.
  const std::string& signer() const { return signer_; }
  // One line for the operator: who signed it and whether that was checked,
  // or "bundle is not signed: checked for damage only".
  std::string signature_line() const;

 private:
  friend VerifiedBundle verify_descriptor(int, const std::string&, const VerifyOptions&);
  friend void load(docker::Client&, const VerifiedBundle&);
  std::string name_;
  Manifest manifest_;
  std::string signer_;
  bool trusted_ = false;
  std::shared_ptr<const int> images_;  // the copy's descriptor, closed with the last owner
};

// Opens the bundle at `path` once and checks it from that descriptor, as
// verify_descriptor() does. Throws std::runtime_error when it cannot be opened.
VerifiedBundle verify(const std::string& path, const VerifyOptions& options);

// Reads every byte of the bundle open on `fd` (read in sequence only, so a
// pipe will do), checking the signature when there is one and each member's
// size and SHA-256 against the manifest; errors name the bundle `name`.
// Throws BundleError "NAME is damaged: ..." for a file that is truncated,
// undecodable, badly signed, lacks a member or has one that does not match,
// BundleError "NAME is not signed ..." or "NAME is signed by key ..." when
// options.trusted_key is set and did not sign it (before the images are
// read), crypto::RsaError for a trusted key that is no RSA key, and
// std::runtime_error when the private copy cannot be written.
VerifiedBundle verify_descriptor(int fd, const std::string& name, const VerifyOptions& options);

// Loads the images of `bundle` (verified with keep_images) into the engine
// from its private copy, then checks that the engine holds each image of the
// manifest under the manifest's id. Throws BundleError when an id differs or
// the bundle kept no images; engine errors reach the caller.
void load(docker::Client& client, const VerifiedBundle& bundle);

// Writes the manifest for people, one fact a line, its text made printable.
void print(const Manifest& manifest, std::ostream& out);

}  // namespace bootstrap::bundle
