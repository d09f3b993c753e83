// Helpers for tests that run the product against the sandbox engine.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "fakes/fake_host.h"
#include "tests/support/engine_document.h"
#include "tests/support/run.h"

namespace bootstrap::testing {

inline std::shared_ptr<docker::Client> sandbox_client() {
  return std::shared_ptr<docker::Client>(docker::DockerClient::from_environment());
}

inline bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Removes every container, network and volume whose name starts with one of
// `prefixes`, whatever state it is in, so a test starts from a known engine.
inline void remove_objects(docker::Client& client, const std::vector<std::string>& prefixes) {
  auto ours = [&](const std::string& name) {
    for (const std::string& p : prefixes)
      if (starts_with(name, p)) return true;
    return false;
  };
  for (const docker::ContainerRef& c : client.list_containers(true)) {
    if (!ours(c.name)) continue;
    client.stop_container(c.id);
    client.remove_container(c.id);
  }
  // A busy engine can still be releasing a removed container's endpoint for a
  // moment ("has active endpoints"): such a removal is tried again, for a while.
  for (const docker::NetworkRef& n : client.list_networks()) {
    if (!ours(n.name)) continue;
    for (int attempt = 1;; ++attempt) {
      try {
        client.remove_network(n.id);
        break;
      } catch (const docker::ApiError& e) {
        if (e.status() != 403 || e.message().find("active endpoints") == std::string::npos || attempt == 50) throw;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
  }
  for (const docker::VolumeRef& v : client.list_volumes())
    if (ours(v.name)) client.remove_volume(v.name);
}

// Runs `body` with standard output captured and returns the lines printed.
inline std::vector<std::string> printed_by(const std::function<void()>& body) {
  ::testing::internal::CaptureStdout();
  try {
    body();
  } catch (...) {
    std::string lost = ::testing::internal::GetCapturedStdout();
    ADD_FAILURE() << "output before the error:\n" << lost;
    throw;
  }
  return lines_of(::testing::internal::GetCapturedStdout());
}

// The product on the sandbox engine, with the host's preparation faked (Docker
// present, kernel setting fine) so tests touch nothing outside the engine.
struct SandboxProduct {
  FakeHost fake_host;
  installer::lumadex::LumadexInstaller product{installer::lumadex::LumadexInstaller::Environment{
      fake_host.host, [] { return sandbox_client(); }, {}}};
};

}  // namespace bootstrap::testing
