// What the installer tests share: an installer wired to a FakeEngine and a
// FakeHost, standard output captured as lines, and a container definition
// written out as readable lines so a whole definition compares in one check.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bootstrap/base/text.h"
#include "bootstrap/docker/client.h"
#include "bootstrap/installer/kestro_installer.h"
#include "fakes/fake_host.h"
#include "tests/support/fake_engine.h"

namespace bootstrap::installer::test {

using Lines = std::vector<std::string>;

// Captures standard output from construction until lines() is called.
class CapturedStdout {
 public:
  CapturedStdout() { ::testing::internal::CaptureStdout(); }
  ~CapturedStdout() {
    if (!taken_) ::testing::internal::GetCapturedStdout();
  }
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;
  Lines lines() {
    taken_ = true;
    return base::split_lines(::testing::internal::GetCapturedStdout());
  }

 private:
  bool taken_ = false;
};

// An engine, a host and a service list; make() builds the installer for
// "lumadex" over them and forgets the snapshot's listing requests, so
// `engine->requests_` then holds only what the operation under test asked.
struct Rig {
  std::shared_ptr<bootstrap::testing::FakeEngine> engine =
      std::make_shared<bootstrap::testing::FakeEngine>();
  bootstrap::testing::FakeHost host;
  ServiceList services;
  std::unique_ptr<KestroInstaller> installer;

  KestroInstaller& make() {
    installer = std::make_unique<KestroInstaller>("lumadex", services, engine, host.host);
    engine->requests_.clear();
    return *installer;
  }
};

// A container definition as lines; optional members appear only when set.
inline Lines describe(const docker::ContainerSpec& definition) {
  auto pairs = [](const docker::KeyValues& kv) {
    std::string out;
    for (const auto& [k, v] : kv) out += " " + k + "=" + v;
    return out;
  };
  Lines out{"image " + definition.image, "command " + definition.command.value_or("(none)"),
            "name " + definition.name};
  if (definition.environment) out.push_back("environment" + pairs(*definition.environment));
  if (definition.ulimits) {
    std::string line = "ulimits";
    for (const docker::Ulimit& u : *definition.ulimits)
      line += " " + u.name + ":" + std::to_string(u.soft) + ":" + std::to_string(u.hard);
    out.push_back(line);
  }
  if (definition.ports) out.push_back("ports" + pairs(*definition.ports));
  if (definition.binds) {
    std::string line = "binds";
    for (const docker::Bind& b : *definition.binds) line += " " + b.source + "->" + b.target + ":" + b.mode;
    out.push_back(line);
  }
  if (definition.restart_policy) out.push_back("restart " + *definition.restart_policy);
  if (definition.cpuset_cpus) out.push_back("cpuset " + *definition.cpuset_cpus);
  return out;
}

// The definition the fake engine holds for a container, or one line saying
// that there is none.
inline Lines definition_of(const bootstrap::testing::FakeEngine& engine, const std::string& name) {
  const bootstrap::testing::FakeEngine::Container* c = engine.container(name);
  if (c == nullptr) return {"no container " + name};
  return describe(c->definition);
}

inline ServiceDescription service(const std::string& name, const std::string& image) {
  ServiceDescription s;
  s.name = name;
  s.image = image;
  return s;
}

}  // namespace bootstrap::installer::test
