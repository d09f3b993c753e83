// `bootstrap bundle create|inspect`, and the bundle's part of
// `install --bundle` and `update --bundle`: image bundles (image_bundle.h) as
// the operator meets them.
//
// On a terminal the long steps show a live byte count on one line, redrawn in
// place and erased when the step ends; piped output has only the lines.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "bootstrap/base/console.h"
#include "bootstrap/docker/client.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace bootstrap::app {

using Output = base::Console;

struct BundleCreateRequest {
  std::optional<std::string> version;  // the application image's tag; latest when unset
  std::string output;
  bool force = false;
  std::string signing_key_file;  // --sign: a PEM RSA private key; empty for none
};

// Fetches every image the catalogue names through `product` (the application
// image at the request's version), then writes them to the request's output
// with bundle::create() over `client`, signed with the request's key when it
// names one, and prints "wrote FILE (N bytes): ...". Throws std::runtime_error
// when the output exists without --force or the key file holds no RSA
// private key (each before fetching anything) or when the output cannot be
// written, and what the fetch throws. On a terminal a live line counts the
// bytes written.
void bundle_create_command(const BundleCreateRequest& request,
                           installer::lumadex::LumadexInstaller& product, docker::Client& client,
                           const Output& output);

// Checks every byte of the bundle at `path`, and its signature against the
// PEM public key in the file `trust` when that is not empty, then prints its
// manifest, who signed it and a last line saying it checked out. Throws
// bundle::BundleError when it does not, std::runtime_error when the key file
// holds no RSA key.
void bundle_inspect_command(const std::string& path, const std::string& trust, std::ostream& out);

struct BundlePushRequest {
  std::string path;      // the bundle
  std::string registry;  // canonical_registry (registry.h), not ""
  std::string trust;     // --trust: a PEM public key file; empty for none
};

// Puts a bundle's images into a registry of the operator's, for hosts (a
// swarm's nodes) that pull: checks every byte of the bundle (and its
// signature against `trust`), logs `client` in through `product`
// (LumadexInstaller::log_in), loads the images, gives each the registry's
// name for it (registry_reference of the catalogue's name), pushes it and
// prints "pushed NAME@DIGEST", and removes the names it added, also after a
// failure. Throws what the check throws (before anything changes),
// installer::RegistryLoginNeeded when the registry refuses, and engine
// errors.
void bundle_push_command(const BundlePushRequest& request,
                         installer::lumadex::LumadexInstaller& product, docker::Client& client,
                         const Output& output);

// What an install or update from a bundle runs with.
struct BundleInstall {
  std::optional<std::string> version;  // for LumadexInstaller; unset for latest
  installer::lumadex::LumadexInstaller::ImageLoad images;
};

// Checks every byte of the bundle at `path` (saying so on `output`, with who
// signed it), that the key in the file `trust` signed it when that is not
// empty, and that it holds every image an install at `version` runs (unset:
// the bundle's own application tag) under the names `registry` gives them
// (registry.h); keeps a private copy of its images and
// returns how to install from that. Throws bundle::BundleError for a damaged
// or untrusted bundle, std::runtime_error for one made for another tag or
// lacking an image, or a key file that holds no RSA key; in each case before
// anything changed.
BundleInstall prepare_bundle_install(const std::string& path,
                                     const std::optional<std::string>& version,
                                     const std::string& trust, const Output& output,
                                     const std::string& registry = "");

}  // namespace bootstrap::app
