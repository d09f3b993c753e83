// What the support bundle takes out of its members before writing them:
// secrets in environment lists, labels, registry credentials and headers,
// and a secret's value wherever else it turns up.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bootstrap/app/support_bundle.h"

namespace bootstrap::testing {
namespace {

using app::BundleMember;
using app::Redaction;
using nlohmann::json;

TEST(Redaction, SecretsGoNamesStay) {
  struct Case {
    BundleMember in;
    std::vector<std::string> gone;  // texts that must not survive
    std::vector<std::string> kept;  // texts that must
  };
  const std::string container = R"({"Config": {
      "Env": ["PATH=/usr/bin", "SECRET_KEY=s3cr3t-value", "db_password=hunter22", "TZ=UTC"],
      "Labels": {"com.example.api-key": "abcdef123", "owner": "ops"},
      "Cmd": ["sh", "-c", "curl -H 'Authorization: Bearer tok123456' http://api"]},
    "HostConfig": {"LogConfig": {"Config": {}}}})";
  const std::vector<Case> cases = {
      {{"containers/a/inspect.json", container},
       {"s3cr3t-value", "hunter22", "abcdef123", "tok123456"},
       {"PATH=/usr/bin", "TZ=UTC", "\"owner\": \"ops\"", "SECRET_KEY=***REDACTED***",
        "Authorization: ***REDACTED***"}},
      // A registry login as a client config holds it, and a header map.
      {{"config.json",
        R"({"auths": {"registry.local:5000": {"auth": "dXNlcjpwYXNz", "email": "a@b.c"}},
            "HttpHeaders": {"X-Registry-Auth": "eyJ1c2VyIjoiYSJ9"}, "Options": {"o": "size=1g"}})"},
       {"dXNlcjpwYXNz", "a@b.c", "eyJ1c2VyIjoiYSJ9"},
       {"registry.local:5000", "size=1g"}},
      // Text: request headers, assignments, and the secret learnt above
      // wherever it appears, even without its name.
      {{"log/bootstrap.log",
        "POST /v1.43/images/create\nX-Registry-Auth: eyJ1c2VyIjoiYSJ9\n"
        "authorization: Basic Zm9vOmJhcg==\nrun --api-token=\"abc def\" now\n"
        "the key is s3cr3t-value\nvm.max_map_count=262144\n"},
       {"eyJ1c2VyIjoiYSJ9", "Zm9vOmJhcg==", "abc def", "s3cr3t-value"},
       {"POST /v1.43/images/create\n", "run --api-token=***REDACTED*** now\n",
        "the key is ***REDACTED***\n", "vm.max_map_count=262144\n"}},
      // A document that is not JSON is read as text.
      {{"engine/info.json", "<html>TOKEN=xyz-123456</html>"}, {"xyz-123456"}, {"<html>"}},
  };

  std::vector<BundleMember> members;
  for (const Case& c : cases) members.push_back(c.in);
  std::vector<Redaction> found = app::redact_bundle(members);

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string& out = members[i].content;
    EXPECT_EQ(cases[i].in.name, members[i].name);
    for (const std::string& gone : cases[i].gone)
      EXPECT_EQ(std::string::npos, out.find(gone)) << gone << " left in " << members[i].name << ":\n" << out;
    for (const std::string& kept : cases[i].kept)
      EXPECT_NE(std::string::npos, out.find(kept)) << kept << " lost from " << members[i].name << ":\n" << out;
  }
  // Still JSON, with the same shape.
  json redacted = json::parse(members[0].content);
  EXPECT_EQ(4u, redacted["Config"]["Env"].size());
  EXPECT_EQ("***REDACTED***", redacted["Config"]["Labels"]["com.example.api-key"]);

  const std::vector<Redaction> expected = {
      {"containers/a/inspect.json", "Config.Cmd", "Authorization"},
      {"containers/a/inspect.json", "Config.Env", "SECRET_KEY"},
      {"containers/a/inspect.json", "Config.Env", "db_password"},
      {"containers/a/inspect.json", "Config.Labels", "com.example.api-key"},
      {"config.json", "HttpHeaders", "X-Registry-Auth"},
      {"config.json", "auths.registry.local:5000", "auth"},
      {"config.json", "auths.registry.local:5000", "email"},
      {"log/bootstrap.log", "line 2", "X-Registry-Auth"},
      {"log/bootstrap.log", "line 3", "authorization"},
      {"log/bootstrap.log", "line 4", "api-token"},
      {"engine/info.json", "line 1", "TOKEN"},
      {"log/bootstrap.log", "anywhere", "SECRET_KEY"},
  };
  EXPECT_EQ(expected, found);

  // Nothing is left for a second pass to find.
  EXPECT_TRUE(app::redact_bundle(members).empty());
}

}  // namespace
}  // namespace bootstrap::testing
