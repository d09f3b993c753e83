#include <exception>

#include "bootstrap/installer/kestro_installer.h"

namespace bootstrap::installer {

void KestroInstaller::login() {
  is_logged_in = false;
  if (!user_name) return;
  // A failed login is deliberately silent: the pull that follows runs with
  // whatever access the client has, and a refusal surfaces there.
  try {
    client->login(*user_name, password.value_or(""), "");
    is_logged_in = true;
  } catch (const std::exception&) {
  }
}

}  // namespace bootstrap::installer
