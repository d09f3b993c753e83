// The watch after an install on the sandbox engine: an application image that
// dies at once fails the install, naming every container that runs it (and
// passes unnoticed with the watch off), and one with a health check is waited
// for until it passes.
#include <algorithm>
#include <chrono>
#include <set>

#include <gtest/gtest.h>

#include "bootstrap/installer/settle.h"
#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using installer::lumadex::LumadexInstaller;

class Settle : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    client_ = sandbox_client();
    remove_objects(*client_, {"lumadex-"});
  }
  void TearDown() override {
    if (client_) remove_objects(*client_, {"lumadex-"});
  }

  // The product on the sandbox, watched as the command line's options say.
  static std::unique_ptr<LumadexInstaller> watched(FakeHost& host, std::chrono::seconds settle) {
    LumadexInstaller::Environment environment{host.host, [] { return sandbox_client(); }, {}};
    environment.settle = installer::SettleOptions{settle, std::chrono::seconds(60), false};
    return std::make_unique<LumadexInstaller>(environment);
  }

  std::shared_ptr<docker::Client> client_;
};

TEST_F(Settle, ACrashingApplicationFailsTheInstall) {
  const std::string tag = sandbox_env("KESTRO_SANDBOX_CRASH_TAG");
  ASSERT_FALSE(tag.empty());
  FakeHost host;
  // Unwatched, the broken product installs "successfully", as it always did;
  // the pulls and creations are then out of the way.
  bool completed = false;
  printed_by([&] { completed = watched(host, std::chrono::seconds(0))->install(tag); });
  ASSERT_TRUE(completed);

  // A crashing container that an inspection catches in one of its brief runs
  // shows as failed only at a later poll, and on a busy engine one poll of
  // thirteen containers can take seconds: the period leaves room for several.
  std::unique_ptr<LumadexInstaller> product = watched(host, std::chrono::seconds(30));
  std::string failure;
  ::testing::internal::CaptureStdout();
  try {
    product->install(tag);
  } catch (const installer::SettleFailure& e) {
    failure = e.what();
  }
  const std::string printed = ::testing::internal::GetCapturedStdout();
  const std::vector<std::string> out = lines_of(printed);
  ASSERT_FALSE(failure.empty()) << "the install succeeded:\n" << printed;

  // Exactly the application roles failed, each followed by its log (one
  // caught running again to the end has no exit status to show).
  std::set<std::string> applications, failed;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    if (s.image == LumadexInstaller::main_service) applications.insert("lumadex-" + s.name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::size_t at = out[i].find(" exited with status 3 (restarted ");
    if (at == std::string::npos) at = out[i].find(" exited and was restarted (restarted ");
    if (at == std::string::npos) continue;
    failed.insert(out[i].substr(0, at));
    ASSERT_LT(i + 1, out.size());
    EXPECT_TRUE(starts_with(out[i + 1], "    lumadex stand-in: role=")) << out[i + 1];
    EXPECT_NE(std::string::npos, out[i + 1].find("fatal: cannot load configuration")) << out[i + 1];
  }
  EXPECT_EQ(applications, failed) << printed;
  // The error names the same containers, in the order they were printed.
  std::string named;
  for (const std::string& line : out) {
    const std::size_t at = line.find(" exited ");
    if (at != std::string::npos && !starts_with(line, " "))
      named += (named.empty() ? "" : ", ") + line.substr(0, at);
  }
  EXPECT_EQ(named + " did not stay up", failure);
}

TEST_F(Settle, AHealthCheckIsWaitedFor) {
  const std::string tag = sandbox_env("KESTRO_SANDBOX_HEALTHY_TAG");
  if (tag.empty()) GTEST_SKIP() << "this engine's images carry no health check";
  FakeHost host;
  std::unique_ptr<LumadexInstaller> product = watched(host, std::chrono::seconds(1));
  bool completed = false;
  std::vector<std::string> out = printed_by([&] { completed = product->install(tag); });
  ASSERT_TRUE(completed) << ::testing::PrintToString(out);
  EXPECT_NE(out.end(), std::find(out.begin(), out.end(), "checking that 13 containers stay up (1 s)"))
      << ::testing::PrintToString(out);
  // The health check passes about two seconds after the start, so a watch
  // of one second has to have waited for it.
  bool waited = false;
  for (const std::string& line : out) waited |= starts_with(line, "waiting for lumadex-");
  EXPECT_TRUE(waited) << ::testing::PrintToString(out);
  EXPECT_EQ("healthy", inspect_document("lumadex-api")["State"]["Health"]["Status"]);
}

}  // namespace
}  // namespace bootstrap::testing
