// Installing Docker on an Ubuntu host, shared by the installer and the
// stand-alone setup probe so both run the same commands.
#pragma once

#include <string>
#include <vector>

#include "bootstrap/host/host.h"

namespace bootstrap::installer {

// Docker's package repository for Ubuntu, and its signing key.
inline constexpr const char* kDockerRepository = "https://download.docker.com/linux/ubuntu";
inline constexpr const char* kDockerRepositoryKey = "https://download.docker.com/linux/ubuntu/gpg";

// The installation command lines for this host, in order: the release
// codename comes from os-release (UBUNTU_CODENAME, else VERSION_CODENAME) and
// the architecture from `dpkg --print-architecture`. Throws host::HostError
// when either cannot be found.
std::vector<std::string> docker_install_commands(host::Host& host);

// Runs docker_install_commands() through the shell, one after another.
// Throws std::runtime_error "cannot install docker for <platform> platform"
// before running anything on a host that is not Linux, and host::HostError
// naming the first command that fails, running none after it.
void install_docker_on(host::Host& host);

// The setup probe: prints the host's os family, system name, kernel release
// and platform word, one per line, then runs install_docker_on(). Throws as
// install_docker_on() does.
void docker_setup_probe(host::Host& host);

}  // namespace bootstrap::installer
