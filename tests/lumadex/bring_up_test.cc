// A bring-up that a registry refuses, on the sandbox engine: the refusal is
// reported, what was defined stays defined, nothing starts, and the caller is
// told the bring-up failed.
#include <gtest/gtest.h>

#include "bootstrap/installer/kestro_installer.h"
#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using installer::KestroInstaller;
using installer::ServiceDescription;
using installer::ServiceList;

ServiceDescription probe_service(const std::string& name, const std::string& image) {
  ServiceDescription s;
  s.name = name;
  s.image = image;
  s.networks = std::vector<std::string>{"net"};
  return s;
}

TEST(BringUp, ARegistryRefusalIsReportedAndNothingStarts) {
  REQUIRE_SANDBOX();
  std::string private_image = sandbox_env("KESTRO_SANDBOX_AUTH_IMAGE");
  ASSERT_FALSE(private_image.empty()) << "the sandbox names no login-only image";
  auto client = sandbox_client();
  remove_objects(*client, {"kestro-test-"});

  const ServiceList services = {probe_service("first", "kestro/probe"),
                                probe_service("private", private_image),
                                probe_service("after", "kestro/probe")};
  FakeHost fake_host;
  bool completed = true;
  std::vector<std::string> out = printed_by([&] {
    KestroInstaller installer("kestro-test", services, client, fake_host.host);
    // Credentials the default registry does not know: the login fails
    // silently and the pull goes ahead without them.
    completed = installer.compose_up(std::string("kestro"), std::string("wrong"), false);
    EXPECT_FALSE(installer.is_logged_in);
  });
  EXPECT_FALSE(completed);

  ASSERT_GE(out.size(), 4u) << ::testing::PrintToString(out);
  EXPECT_EQ("creating network kestro-test-net", out[0]);
  EXPECT_EQ("installing kestro-test-first", out[1]);
  std::size_t private_at = std::find(out.begin(), out.end(), "installing kestro-test-private") - out.begin();
  ASSERT_LT(private_at, out.size()) << ::testing::PrintToString(out);
  ASSERT_EQ(private_at + 4, out.size()) << ::testing::PrintToString(out);
  EXPECT_EQ(0u, out[private_at + 1].find("pulling " + private_image.substr(0, private_image.rfind(':')) + " 1.0"));
  // The engine's own words for the refusal (20.10 answers 500; newer engines
  // 401, which prints "unauthorized access!" instead).
  const std::string& refusal = out[private_at + 2];
  EXPECT_TRUE(refusal.find("unauthorized") != std::string::npos ||
              refusal.find("authentication required") != std::string::npos ||
              refusal.find("no basic auth credentials") != std::string::npos)
      << refusal;
  EXPECT_EQ("unknown error, please try again!", out.back());

  // The service before the refusal is defined but not started; nothing after.
  std::map<std::string, std::string> states;
  for (const docker::ContainerRef& c : client->list_containers(true)) states[c.name] = c.state;
  EXPECT_EQ("created", states["kestro-test-first"]);
  EXPECT_EQ(0u, states.count("kestro-test-private"));
  EXPECT_EQ(0u, states.count("kestro-test-after"));

  remove_objects(*client, {"kestro-test-"});
}

}  // namespace
}  // namespace bootstrap::testing
