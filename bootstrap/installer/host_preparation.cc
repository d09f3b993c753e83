// KestroInstaller's host preparation: the work is done in bootstrap/host.

#include "bootstrap/host/docker_setup.h"
#include "bootstrap/host/map_count.h"
#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

std::string KestroInstaller::check_vm_max_map_count() {
  return check_vm_max_map_count(host::real_host());
}
std::string KestroInstaller::check_vm_max_map_count(host::Host& host) {
  return host::check_vm_max_map_count(host);
}

long KestroInstaller::get_max_mep_count() { return get_max_mep_count(host::real_host()); }
long KestroInstaller::get_max_mep_count(host::Host& host) { return host::max_map_count(host); }

bool KestroInstaller::is_docker_istalled() { return is_docker_istalled(host::real_host()); }
bool KestroInstaller::is_docker_istalled(host::Host& host) { return host::is_docker_installed(host); }

void KestroInstaller::install_docker() { install_docker(host::real_host()); }
void KestroInstaller::install_docker(host::Host& host) { host::install_docker(host); }

}  // namespace bootstrap::installer
