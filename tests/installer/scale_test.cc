// Worker scaling.
#include <algorithm>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::definition_of;
using test::Lines;
using test::Rig;
using test::service;

ServiceDescription worker_service() {
  ServiceDescription s = service("worker", "lmdx2/app");
  s.command = "/bin/sh -c \"./start.sh worker\"";
  s.environment = KeyValues{{"WNAME", "worker"}, {"HEALTHCHECK", "1"}, {"TZ", "Asia/Tehran"}};
  s.volumes = std::vector<std::string>{"temp-vol:/temp-vol"};
  s.networks = std::vector<std::string>{"cache-net"};
  s.restart = "always";
  s.cpuset = "4-x";
  return s;
}

// The worker service (and one other) on an 8-CPU engine with the service's
// own container and the given workers (in this listing order and state).
void set_up(Rig& rig, const std::vector<std::pair<std::string, std::string>>& workers) {
  rig.services = {service("cache", "redis:6.0.4"), worker_service()};
  rig.engine->ncpu_ = 8;
  rig.engine->add_image("lmdx2/app");
  rig.engine->add_network("lumadex-cache-net");
  rig.engine->add_container("lumadex-worker", "lmdx2/app", "running");
  for (const auto& [name, state] : workers) rig.engine->add_container(name, "lmdx2/app", state);
}

TEST(ScaleService, Grows) {
  {  // 2 -> 4: workers 2 and 3 created and started, 1 untouched
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 4);
    EXPECT_EQ((Lines{"starting lumadex-worker_2", "starting lumadex-worker_3"}), out.lines());
    EXPECT_EQ((Lines{"info", "create container lumadex-worker_2",
                     "connect lumadex-worker_2 to lumadex-cache-net as worker",
                     "start lumadex-worker_2", "create container lumadex-worker_3",
                     "connect lumadex-worker_3 to lumadex-cache-net as worker",
                     "start lumadex-worker_3"}),
              rig.engine->requests_);
    // each worker: the service's definition with its own WNAME and restart "no"
    EXPECT_EQ((Lines{"image lmdx2/app", "command /bin/sh -c \"./start.sh worker\"",
                     "name lumadex-worker_3",
                     "environment WNAME=worker_3 HEALTHCHECK=1 TZ=Asia/Tehran",
                     "binds lumadex-temp-vol->/temp-vol:rw", "restart no", "cpuset 4-7"}),
              definition_of(*rig.engine, "lumadex-worker_3"));
    EXPECT_EQ("running", rig.engine->container("lumadex-worker_2")->state);
    EXPECT_EQ((Lines{"lumadex-worker", "lumadex-worker_1", "lumadex-worker_2", "lumadex-worker_3"}),
              installer.containers.keys());
    // the service list itself is unchanged
    EXPECT_EQ(worker_service(), rig.services[1]);
  }
  {  // a gap: 1 and 3 exist, 5 wanted: 2 and 4 created
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"}, {"lumadex-worker_3", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 5);
    EXPECT_EQ((Lines{"starting lumadex-worker_2", "starting lumadex-worker_4"}), out.lines());
    EXPECT_EQ((Lines{"environment WNAME=worker_4 HEALTHCHECK=1 TZ=Asia/Tehran"}),
              Lines{definition_of(*rig.engine, "lumadex-worker_4")[3]});
  }
  {  // a stopped worker within range stays stopped
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "exited"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 3);
    EXPECT_EQ(Lines{"starting lumadex-worker_2"}, out.lines());
    EXPECT_EQ("exited", rig.engine->container("lumadex-worker_1")->state);
    EXPECT_EQ((Lines{"info", "create container lumadex-worker_2",
                     "connect lumadex-worker_2 to lumadex-cache-net as worker",
                     "start lumadex-worker_2"}),
              rig.engine->requests_);
  }
  {  // no environment, no restart: both are put in
    Rig rig;
    set_up(rig, {});
    KestroInstaller& installer = rig.make();
    rig.engine->add_image("redis:6.0.4");
    CapturedStdout out;
    installer.scale_service("cache", 2);
    EXPECT_EQ((Lines{"image redis:6.0.4", "command (none)", "name lumadex-cache_1",
                     "environment WNAME=cache_1", "restart no"}),
              definition_of(*rig.engine, "lumadex-cache_1"));
  }
}

TEST(ScaleService, Shrinks) {
  {  // 4 -> 2: surplus in map order, worker 1 stays
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"},
                 {"lumadex-worker_3", "running"},
                 {"lumadex-worker_2", "exited"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 2);
    EXPECT_EQ((Lines{"leaving from lumadex-worker_3", "leaving from lumadex-worker_2"}), out.lines());
    EXPECT_EQ((Lines{"stop lumadex-worker_3", "remove container lumadex-worker_3",
                     "stop lumadex-worker_2", "remove container lumadex-worker_2"}),
              rig.engine->requests_);
    EXPECT_EQ((Lines{"lumadex-worker", "lumadex-worker_1"}), installer.containers.keys());
    EXPECT_EQ((Lines{"lumadex-worker", "lumadex-worker_1"}), rig.engine->container_names());
  }
  {  // 1: every worker goes, nothing starts, the service's own container stays
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"}, {"lumadex-worker_2", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 1);
    EXPECT_EQ((Lines{"leaving from lumadex-worker_1", "leaving from lumadex-worker_2"}), out.lines());
    EXPECT_EQ((Lines{"stop lumadex-worker_1", "remove container lumadex-worker_1",
                     "stop lumadex-worker_2", "remove container lumadex-worker_2"}),
              rig.engine->requests_);
    EXPECT_EQ(Lines{"lumadex-worker"}, installer.containers.keys());
    EXPECT_EQ("running", rig.engine->container("lumadex-worker")->state);
  }
  for (int wanted : {0, -3}) {  // 0 or less: a worker numbered 0 is surplus too
    Rig rig;
    set_up(rig, {{"lumadex-worker_0", "running"}, {"lumadex-worker_007", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", wanted);
    EXPECT_EQ((Lines{"leaving from lumadex-worker_0", "leaving from lumadex-worker_007"}),
              out.lines());
    EXPECT_EQ(Lines{"lumadex-worker"}, installer.containers.keys());
  }
  {  // numbers compare as numbers: 10 is surplus for 3, 02 is not
    Rig rig;
    set_up(rig, {{"lumadex-worker_10", "running"},
                 {"lumadex-worker_02", "running"},
                 {"lumadex-worker_99999999999999999999999", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 3);
    EXPECT_EQ((Lines{"leaving from lumadex-worker_10",
                     "leaving from lumadex-worker_99999999999999999999999",
                     "starting lumadex-worker_1", "starting lumadex-worker_2"}),
              out.lines());
  }
}

TEST(ScaleService, Failures) {
  {  // a worker-like name without a number stops the scan before any change
    for (const char* odd : {"lumadex-worker_abc", "lumadex-worker_ocr", "lumadex-worker_",
                            "lumadex-worker_1x"}) {
      Rig rig;
      set_up(rig, {{"lumadex-worker_5", "running"}, {odd, "running"}});
      KestroInstaller& installer = rig.make();
      CapturedStdout out;
      EXPECT_THROW(installer.scale_service("worker", 1), std::invalid_argument) << odd;
      EXPECT_EQ(Lines{}, out.lines()) << odd;
      EXPECT_EQ(Lines{}, rig.engine->requests_) << odd;
      EXPECT_EQ(3u, installer.containers.size()) << odd;
    }
  }
  {  // another service's container that looks like a numbered worker is surplus
    Rig rig;
    set_up(rig, {{"lumadex-worker_ocr_2", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.scale_service("worker", 1);
    EXPECT_EQ(Lines{"leaving from lumadex-worker_ocr_2"}, out.lines());
  }
  {  // an unknown service is refused before its surplus goes
    Rig rig;
    set_up(rig, {{"lumadex-ghost_1", "running"}});
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.scale_service("ghost", 1), std::invalid_argument);
    EXPECT_EQ(Lines{}, rig.engine->requests_);
  }
  {  // a failed start: every worker this call created goes again
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"}});
    rig.engine->fail_next("start lumadex-worker_3",
                          docker::ApiError("start lumadex-worker_3", 500, "oom"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.scale_service("worker", 4), docker::ApiError);
    EXPECT_EQ((Lines{"lumadex-worker", "lumadex-worker_1"}), installer.containers.keys());
    EXPECT_EQ((Lines{"lumadex-worker", "lumadex-worker_1"}), rig.engine->container_names());
    EXPECT_TRUE(installer.started.empty());
    EXPECT_EQ((Lines{"starting lumadex-worker_2", "starting lumadex-worker_3",
                     "removing lumadex-worker_2, which this scale created",
                     "removing lumadex-worker_3, which this scale created"}),
              out.lines());
  }
  {  // a failed stop: the key is already gone, the container stays on the engine
    Rig rig;
    set_up(rig, {{"lumadex-worker_1", "running"}});
    rig.engine->fail_next("stop", docker::ApiError("stop lumadex-worker_1", 500, "timeout"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.scale_service("worker", 1), docker::ApiError);
    EXPECT_EQ(Lines{"lumadex-worker"}, installer.containers.keys());
    EXPECT_NE(nullptr, rig.engine->container("lumadex-worker_1"));
  }
}

// (What a scale that changes nothing says on a real engine: product_test.)
TEST(ScaleService, ACountBelowOneSaysTheOwnContainerStays) {
  Rig rig;
  set_up(rig, {});
  KestroInstaller& installer = rig.make();
  CapturedStdout out;
  installer.scale_service("worker", 0);
  EXPECT_EQ(Lines{"worker already runs 1 container; scale never removes its own"}, out.lines());
  EXPECT_EQ(Lines{}, rig.engine->requests_);
}

// (The refusals of a port and of a product not installed: product_test.)
TEST(ScaleRefusal, RefusesWhatWouldFailPartWay) {
  ServiceDescription api = service("api", "lmdx2/app");
  api.ports = docker::KeyValues{{"5000", "5000"}};
  const ServiceList services = {api, worker_service()};
  const Layout layout("lumadex", services);
  const Lines installed = {"lumadex-api", "lumadex-worker"};
  EXPECT_EQ("", scale_refusal(layout, "worker", 3, installed));
  EXPECT_EQ("", scale_refusal(layout, "api", 1, installed));
  EXPECT_EQ("no service named ghost", scale_refusal(layout, "ghost", 2, installed));
  // A stray worker is no installed product.
  EXPECT_EQ("lumadex is not installed: run 'bootstrap install' first",
            scale_refusal(layout, "worker", 1, {"lumadex-worker_1"}));
}

TEST(ScaleService, WorkersUseTheClampedCpuSet) {
  Rig rig;
  set_up(rig, {});
  rig.engine->ncpu_ = 4;  // "4-x" names CPU 4 and up, which this engine lacks
  KestroInstaller& installer = rig.make();
  CapturedStdout out;
  installer.scale_service("worker", 3);
  const std::string clamp = "cpu set 4-x of worker needs CPUs this host lacks (it has 4); using 0-3";
  EXPECT_EQ((Lines{clamp, "starting lumadex-worker_1", clamp, "starting lumadex-worker_2"}),
            out.lines());
  EXPECT_EQ("cpuset 0-3", definition_of(*rig.engine, "lumadex-worker_1").back());
  EXPECT_EQ("cpuset 0-3", definition_of(*rig.engine, "lumadex-worker_2").back());
  EXPECT_EQ(1, std::count(rig.engine->requests_.begin(), rig.engine->requests_.end(), "info"));
}

}  // namespace
}  // namespace bootstrap::installer
