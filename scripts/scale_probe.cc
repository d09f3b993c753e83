// Scales the product's "worker" service down to its own container, removing
// every numbered worker, straight through the deployment engine.
#include <exception>
#include <iostream>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

int main() {
  using bootstrap::installer::KestroInstaller;
  using bootstrap::installer::lumadex::LumadexInstaller;
  try {
    KestroInstaller installer("lumadex", LumadexInstaller::lumadex_services,
                              bootstrap::docker::DockerClient::from_environment(),
                              bootstrap::host::real_host());
    installer.scale_service("worker", 1);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "scale_probe: " << e.what() << std::endl;
    return 1;
  }
}
