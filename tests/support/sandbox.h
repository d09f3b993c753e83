// Real-engine tests run against the private engine that tools/sandbox starts.
// tools/test exports KESTRO_SANDBOX=1 and DOCKER_HOST when the engine is up,
// or KESTRO_SANDBOX_SKIP with the reason it could not start (not root, no
// cgroups). Outside tools/test the real-engine tests are skipped, with that
// said in the test output rather than silently passed.
#pragma once

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace bootstrap::testing {

// Why real-engine tests cannot run here, or nullopt when the sandbox is up.
std::optional<std::string> sandbox_skip_reason();

// Value of a sandbox variable (KESTRO_SANDBOX_REGISTRY and the like); empty
// when unset.
std::string sandbox_env(const char* name);

}  // namespace bootstrap::testing

#define REQUIRE_SANDBOX()                                                   \
  do {                                                                      \
    if (auto kestro_skip_reason_ = ::bootstrap::testing::sandbox_skip_reason()) \
      GTEST_SKIP() << *kestro_skip_reason_;                                 \
  } while (0)
