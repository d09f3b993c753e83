// What the changing commands need of the account that runs them: root for
// the package manager and /etc/sysctl.conf, and the right to open the
// engine's socket. The front end checks before a command starts, so that it
// does not fail halfway for want of a permission; preflight reports the same
// as its "privileges" check. The answers come from this process's effective
// ids and the socket's owner and mode.
#pragma once

#include <string>

#include "bootstrap/survey/preflight.h"
#include "bootstrap/docker/config.h"

namespace bootstrap::survey {

// Why this process may not run the package manager or write
// /etc/sysctl.conf, as one line, or "" when it runs as root.
std::string missing_root();

// Why this process may not open the unix socket `config` names, as one line
// naming the socket, or "" when it may (or the engine is reached over tcp).
std::string missing_engine_access(const docker::ClientConfig& config);

// The preflight check "privileges": passes for root; fails otherwise, naming
// what install, update and configure (and, without the socket, scale and
// uninstall) would miss.
CheckResult check_privileges(const docker::ClientConfig& config);

}  // namespace bootstrap::survey
