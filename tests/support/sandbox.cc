#include "tests/support/sandbox.h"

#include <cstdlib>

namespace bootstrap::testing {

std::string sandbox_env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::optional<std::string> sandbox_skip_reason() {
  std::string skip = sandbox_env("KESTRO_SANDBOX_SKIP");
  if (!skip.empty()) return "real engine unavailable: " + skip;
  if (sandbox_env("KESTRO_SANDBOX") != "1")
    return std::string(
        "real-engine test: run it through tools/test or tools/sandbox exec");
  return std::nullopt;
}

}  // namespace bootstrap::testing
