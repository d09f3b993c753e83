#include "bootstrap/survey/privileges.h"

#include <unistd.h>

#include "bootstrap/docker/curl_transport.h"

namespace bootstrap::survey {

std::string missing_root() {
  if (::geteuid() == 0) return {};
  return "needs root: it runs the package manager and writes /etc/sysctl.conf (try: sudo)";
}

std::string missing_engine_access(const docker::ClientConfig& config) {
  if (config.socket_path.empty()) return {};
  std::string problem = docker::unix_socket_problem(config.socket_path);
  if (problem.empty()) return {};
  return "cannot reach the Docker engine at " + config.host + ": " + problem;
}

CheckResult check_privileges(const docker::ClientConfig& config) {
  CheckResult result{"privileges", Level::pass, "root", ""};
  if (::geteuid() == 0) return result;
  result.level = Level::fail;
  // A missing socket is the engine check's finding, not a privilege.
  std::string engine = ::access(config.socket_path.c_str(), F_OK) == 0
                           ? missing_engine_access(config)
                           : std::string();
  result.reason =
      "not root: install, update and configure need root for the package manager and "
      "/etc/sysctl.conf";
  if (!engine.empty()) result.reason += "; scale and uninstall " + engine;
  result.advice = "run bootstrap with sudo";
  return result;
}

}  // namespace bootstrap::survey
