// The engine's address and TLS settings from the environment: a configuration
// or ConfigError, never anything else.
#include <map>

#include "bootstrap/docker/config.h"
#include "bootstrap/docker/errors.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr const char* kNames[] = {"DOCKER_HOST", "DOCKER_TLS_VERIFY", "DOCKER_CERT_PATH",
                                           "DOCKER_API_VERSION"};
  // Each part is one variable; a part starting with "-" is left unset.
  std::vector<std::string> parts = bootstrap::fuzz::parts_of(bootstrap::fuzz::text_of(data, size), 4);
  std::map<std::string, std::string> environment;
  for (std::size_t i = 0; i < 4; ++i)
    if (parts[i].empty() || parts[i][0] != '-') environment[kNames[i]] = parts[i];
  try {
    bootstrap::docker::ClientConfig::from_environment(
        [&](const char* name) -> std::optional<std::string> {
          auto it = environment.find(name);
          if (it == environment.end()) return std::nullopt;
          return it->second;
        });
  } catch (const bootstrap::docker::ConfigError&) {
  }
  return 0;
}
