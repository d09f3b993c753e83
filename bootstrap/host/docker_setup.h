// Docker on an Ubuntu host: whether it is there and installing it, shared by
// the installer and the stand-alone setup probe so both run the same commands.
#pragma once

#include <string>
#include <vector>

#include "bootstrap/host/host.h"

namespace bootstrap::host {

// Docker's package repository for Ubuntu, its signing key, and the
// fingerprint Docker publishes for that key.
inline constexpr const char* kDockerRepository = "https://download.docker.com/linux/ubuntu";
inline constexpr const char* kDockerRepositoryKey = "https://download.docker.com/linux/ubuntu/gpg";
inline constexpr const char* kDockerKeyFingerprint = "9DC858229FC7DD38854AE2D88D81803C0EBFCD88";

// The installation command lines for this host, in order, each apt run
// waiting up to 300 s for another package manager's lock: the release
// codename comes from os-release (UBUNTU_CODENAME, else VERSION_CODENAME) and
// the architecture from `dpkg --print-architecture`. The key is downloaded
// beside the keyring (docker.asc.download) by the third command and moved to
// docker.asc by the fourth. Throws HostError when the codename or the
// architecture cannot be found.
std::vector<std::string> docker_install_commands(Host& host);

// Whether `docker --version` answers with its banner ("Docker version ...").
// Never throws.
bool is_docker_installed(Host& host);

// Whether Docker has to be installed: only when no engine answers, the engine
// is looked for at Docker's default socket (another address names an engine
// that installing Docker here would not bring), and `docker --version` lacks
// Docker's banner (Podman's docker program prints its own). Asks the program
// only when the first two hold. Never throws.
bool docker_install_needed(Host& host, bool engine_answers, bool default_socket);

// Says that apt waits for the package lock, then runs
// docker_install_commands() through the shell, one after another. Between the
// download of Docker's key and its move into place, `gpg --show-keys` must
// find that the file holds the key with kDockerKeyFingerprint and no other;
// otherwise the download is removed and nothing after it runs. Throws
// std::runtime_error "cannot install docker for <platform> platform" before
// running anything on a host that is not Linux, and HostError naming the
// first command that fails, or saying why the key was refused, running none
// after it.
void install_docker(Host& host);

// The setup probe: prints the host's os family, system name, kernel release
// and platform word, one per line, then runs install_docker(). Throws as
// install_docker() does.
void docker_setup_probe(Host& host);

}  // namespace bootstrap::host
