// Installs Docker on this host as the installer would, after printing the
// facts the installation goes by. Run as root on an Ubuntu host.

#include <exception>
#include <iostream>

#include "bootstrap/host/host.h"
#include "bootstrap/host/docker_setup.h"

int main() {
  try {
    bootstrap::host::docker_setup_probe(bootstrap::host::real_host());
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
