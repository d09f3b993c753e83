#include <exception>

#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/kestro_installer.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::installer {

void KestroInstaller::login() {
  is_logged_in = false;
  login_refused = false;
  if (!user_name) return;
  // A failed login is deliberately silent: the pull that follows runs with
  // whatever access the client has, and a refusal surfaces there.
  try {
    client->login(*user_name, password.value_or(""), registry_server);
    is_logged_in = true;
  } catch (const docker::ApiError& e) {
    login_refused = asks_for_login(e);
  } catch (const std::exception&) {
  }
}

}  // namespace bootstrap::installer
