// Registry credentials as the Docker client keeps them.
#include "bootstrap/host/registry_credentials.h"

#include <gtest/gtest.h>

#include "fakes/fake_host.h"

namespace bootstrap::host {
namespace {

using bootstrap::testing::FakeProcessRunner;

std::string same(const std::string& program) { return program; }

TEST(RegistryCredentials, FromTheConfiguration) {
  const struct {
    const char* config;
    const char* host;
    std::optional<RegistryCredentials> found;
  } cases[] = {
      // "reader:s3cret:part": the password may hold a colon.
      {R"({"auths":{"r.io:5000":{"auth":"cmVhZGVyOnMzY3JldDpwYXJ0"}}})", "r.io:5000",
       RegistryCredentials{"reader", "s3cret:part", "config.json"}},
      {R"({"auths":{"https://r.io:5000/v2/":{"auth":"cmVhZGVyOnMzY3JldDpwYXJ0"}}})", "r.io:5000",
       RegistryCredentials{"reader", "s3cret:part", "config.json"}},
      {R"({"auths":{"r.io":{"identitytoken":"tok"}}})", "r.io",
       RegistryCredentials{"<token>", "tok", "config.json"}},
      {R"({"auths":{"https://index.docker.io/v1/":{"auth":"cmVhZGVyOnMzY3JldDpwYXJ0"}}})",
       "docker.io", RegistryCredentials{"reader", "s3cret:part", "config.json"}},
      {R"({"auths":{"other.io":{"auth":"cmVhZGVyOnMzY3JldDpwYXJ0"}}})", "r.io", std::nullopt},
      {R"({"auths":{"r.io":{}}})", "r.io", std::nullopt},
      {R"({})", "r.io", std::nullopt},
  };
  for (const auto& c : cases) {
    FakeProcessRunner process;
    std::optional<RegistryCredentials> found = find_registry_credentials(c.host, c.config, process, same);
    ASSERT_EQ(c.found.has_value(), found.has_value()) << c.config;
    if (found) {
      EXPECT_EQ(c.found->username, found->username) << c.config;
      EXPECT_EQ(c.found->password, found->password) << c.config;
      EXPECT_EQ(c.found->source, found->source) << c.config;
    }
    EXPECT_TRUE(process.commands_ran_.empty());
  }
  FakeProcessRunner process;
  for (const char* bad : {"not json", "[]", R"({"auths":{"r.io":{"auth":"%%%"}}})",
                          R"({"auths":{"r.io":{"auth":"bm9jb2xvbg=="}}})"})
    EXPECT_THROW(find_registry_credentials("r.io", bad, process, same), HostError) << bad;
}

TEST(RegistryCredentials, FromHelpers) {
  FakeProcessRunner process;
  process.answers_["docker-credential-pass get"] = {0, R"({"ServerURL":"r.io","Username":"u","Secret":"p1"})"};
  process.answers_["docker-credential-desktop get"] = {0, R"({"Username":"v","Secret":"p2"})"};
  // credHelpers for its host wins over the store; the store serves the rest.
  const std::string config =
      R"({"auths":{"r.io":{}},"credHelpers":{"r.io":"pass"},"credsStore":"desktop"})";
  std::optional<RegistryCredentials> found = find_registry_credentials("r.io", config, process, same);
  ASSERT_TRUE(found);
  EXPECT_EQ("u", found->username);
  EXPECT_EQ("p1", found->password);
  EXPECT_EQ("docker-credential-pass", found->source);
  found = find_registry_credentials("docker.io", config, process, same);
  ASSERT_TRUE(found);
  EXPECT_EQ("p2", found->password);
  EXPECT_EQ((std::vector<std::string>{"r.io", "https://index.docker.io/v1/"}), process.inputs_);

  // A helper that holds nothing is no failure; one that fails or garbles is.
  process.answers_["docker-credential-pass get"] = {1, "credentials not found in native keychain\n"};
  EXPECT_FALSE(find_registry_credentials("r.io", config, process, same));
  process.answers_["docker-credential-pass get"] = {1, ""};
  EXPECT_THROW(find_registry_credentials("r.io", config, process, same), HostError);
  process.answers_["docker-credential-pass get"] = {0, "p1"};
  EXPECT_THROW(find_registry_credentials("r.io", config, process, same), HostError);
}

}  // namespace
}  // namespace bootstrap::host
