// CPU sets: "-x" runs up to the engine's last CPU, and a set naming CPUs the
// engine lacks is cut down to what exists, with one line saying so.
#include <algorithm>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::Lines;
using test::Rig;
using test::service;

struct Pinned {
  std::string cpuset;  // as created, or what the engine said when it refused
  Lines printed;
};

// Prepares the service "api" with `asked` on an engine with `ncpu` CPUs.
Pinned pin(int ncpu, const std::string& asked) {
  Rig rig;
  rig.engine->ncpu_ = ncpu;
  rig.engine->add_image("lmdx2/app");
  ServiceDescription s = service("api", "lmdx2/app");
  s.cpuset = asked;
  KestroInstaller& installer = rig.make();
  CapturedStdout out;
  try {
    installer.prepare_container(s, "lumadex-api");
  } catch (const docker::ApiError& e) {
    return {std::string("refused: ") + e.message(), out.lines()};
  }
  return {rig.engine->container("lumadex-api")->definition.cpuset_cpus.value_or("(unset)"), out.lines()};
}

std::string clamp_line(const std::string& asked, int ncpu, const std::string& used) {
  return "cpu set " + asked + " of api needs CPUs this host lacks (it has " +
         std::to_string(ncpu) + "); using " + used;
}

TEST(CpuSet, ExpandsAndClamps) {
  struct Case {
    int ncpu;
    const char* asked;
    const char* used;
    bool clamped;
  };
  const Case cases[] = {
      // big enough engines: the catalogue's sets as they are
      {8, "0-3", "0-3", false},
      {8, "4-x", "4-7", false},
      {5, "0-3", "0-3", false},
      {5, "4-x", "4-4", false},
      {16, "0-3,8-x", "0-3,8-15", false},
      {4, "0-3", "0-3", false},
      {4, "2-x", "2-3", false},
      {4, "1,3", "1,3", false},
      {4, "7", "0-3", true},
      // a range starting past the last CPU is dropped; an emptied set means all
      {4, "4-x", "0-3", true},
      {4, "0-1,6-7", "0-1", true},
      {4, "1,5", "1", true},
      // a range running past it is cut
      {4, "0-7", "0-3", true},
      {4, "2-9", "2-3", true},
      {4, "3-5", "3", true},
      {2, "0-3", "0-1", true},
      {2, "4-x", "0-1", true},
      {2, "2-x", "0-1", true},
      {2, "1-x", "1-1", false},
      {1, "0-3", "0", true},
      {1, "4-x", "0", true},
  };
  for (const Case& c : cases) {
    Pinned p = pin(c.ncpu, c.asked);
    EXPECT_EQ(c.used, p.cpuset) << c.asked << " on " << c.ncpu;
    EXPECT_EQ(c.clamped ? Lines{clamp_line(c.asked, c.ncpu, c.used)} : Lines{}, p.printed)
        << c.asked << " on " << c.ncpu;
  }
}

TEST(CpuSet, LeftForTheEngine) {
  {  // a range running backwards within existing CPUs is given as it is
    Pinned p = pin(4, "3-1");
    EXPECT_TRUE(p.cpuset.starts_with("refused: ")) << p.cpuset;
    EXPECT_THAT(p.cpuset, ::testing::HasSubstr("3-1"));
    EXPECT_EQ(Lines{}, p.printed);
  }
  {  // "4-x" on 5 CPUs is the valid set "4-4"; "x" alone is no open range
    EXPECT_EQ("4-4", pin(5, "4-x").cpuset);
    Pinned p = pin(4, "x");
    EXPECT_THAT(p.cpuset, ::testing::HasSubstr("requested x"));
    EXPECT_EQ(Lines{}, p.printed);
  }
  {  // text that is no CPU list is not touched
    Pinned p = pin(4, "0-3 ");
    EXPECT_THAT(p.cpuset, ::testing::HasSubstr("requested 0-3 "));
    EXPECT_EQ(Lines{}, p.printed);
  }
}

TEST(CpuSet, EngineCountAskedOncePerObject) {
  ServiceDescription pinned = service("api", "lmdx2/app");
  pinned.cpuset = "4-x";
  ServiceDescription pinned2 = service("task", "lmdx2/app");
  pinned2.cpuset = "0-3";
  {  // two pinned services: one question; an unpinned one asks nothing
    Rig rig;
    rig.engine->ncpu_ = 8;
    rig.engine->add_image("lmdx2/app");
    KestroInstaller& installer = rig.make();
    installer.prepare_container(service("beater", "lmdx2/app"), "lumadex-beater");
    EXPECT_EQ(Lines{"create container lumadex-beater"}, rig.engine->requests_);
    installer.prepare_container(pinned, "lumadex-api");
    installer.prepare_container(pinned2, "lumadex-task");
    EXPECT_EQ((Lines{"create container lumadex-beater", "info", "create container lumadex-api",
                     "create container lumadex-task"}),
              rig.engine->requests_);
    // a new object asks again
    rig.make().prepare_container(pinned, "lumadex-api2");
    EXPECT_EQ((Lines{"info", "create container lumadex-api2"}), rig.engine->requests_);
  }
  {  // the engine's count wins over the host's
    Rig rig;
    rig.engine->ncpu_ = 8;
    rig.host.system.cpu_count_ = 2;
    rig.engine->add_image("lmdx2/app");
    rig.make().prepare_container(pinned, "lumadex-api");
    EXPECT_EQ("4-7", rig.engine->container("lumadex-api")->definition.cpuset_cpus);
  }
}

TEST(CpuSet, FallsBackToTheHostCount) {
  ServiceDescription pinned = service("api", "lmdx2/app");
  pinned.cpuset = "4-x";
  ServiceDescription pinned2 = service("task", "lmdx2/app");
  pinned2.cpuset = "1-x";
  {  // info fails: the host's count, and the engine is not asked again
    Rig rig;
    rig.engine->ncpu_ = 2;  // so that the engine accepts what a 2-CPU host gives
    rig.host.system.cpu_count_ = 2;
    rig.engine->errors_["info"] =
        std::make_exception_ptr(docker::ApiError("info", 500, "engine busy"));
    rig.engine->add_image("lmdx2/app");
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.prepare_container(pinned, "lumadex-api");
    installer.prepare_container(pinned2, "lumadex-task");
    EXPECT_EQ((Lines{"cpu set 4-x of api needs CPUs this host lacks (it has 2); using 0-1"}),
              out.lines());
    EXPECT_EQ("0-1", rig.engine->container("lumadex-api")->definition.cpuset_cpus);
    EXPECT_EQ("1-1", rig.engine->container("lumadex-task")->definition.cpuset_cpus);
    EXPECT_EQ(1, std::count(rig.engine->requests_.begin(), rig.engine->requests_.end(), "info"));
  }
  {  // an unreachable engine on info: the host's count too
    Rig rig;
    rig.engine->ncpu_ = 8;
    rig.host.system.cpu_count_ = 6;
    rig.engine->fail_next("info", docker::ConnectionError("info", "unix:///run/docker.sock",
                                                          "Connection refused"));
    rig.engine->add_image("lmdx2/app");
    rig.make().prepare_container(pinned, "lumadex-api");
    EXPECT_EQ("4-5", rig.engine->container("lumadex-api")->definition.cpuset_cpus);
  }
  {  // an engine that reports no CPUs: the host's count
    Rig rig;
    rig.engine->info_ncpu_ = 0;
    rig.host.system.cpu_count_ = 6;
    rig.engine->ncpu_ = 6;
    rig.engine->add_image("lmdx2/app");
    rig.make().prepare_container(pinned, "lumadex-api");
    EXPECT_EQ("4-5", rig.engine->container("lumadex-api")->definition.cpuset_cpus);
    EXPECT_EQ((Lines{"info", "create container lumadex-api"}), rig.engine->requests_);
  }
}

}  // namespace
}  // namespace bootstrap::installer
