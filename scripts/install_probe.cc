// Installs the whole product with no version, as the front end would.
// An error ends the program with its text and a non-zero status.
#include <exception>
#include <iostream>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

int main() {
  try {
    std::cout << "TEST INSTALLER" << std::endl;
    // The engine the environment names, on the real host.
    bootstrap::installer::lumadex::LumadexInstaller installer(
        {bootstrap::host::real_host(),
         [] {
           return std::shared_ptr<bootstrap::docker::Client>(
               bootstrap::docker::DockerClient::from_environment());
         },
         {}});
    return installer.install() ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "install_probe: " << e.what() << std::endl;
    return 1;
  }
}
