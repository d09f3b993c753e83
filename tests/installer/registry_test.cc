// Registry names and the image references made from them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "bootstrap/installer/registry.h"

namespace bootstrap::installer {
namespace {

TEST(Registry, CanonicalNames) {
  const std::pair<const char*, const char*> accepted[] = {
      {"registry.example.com", "registry.example.com"},
      {"registry.example.com/", "registry.example.com"},
      {"127.0.0.1:5000", "127.0.0.1:5000"},
      {"localhost/mirror/lumadex", "localhost/mirror/lumadex"},
      {"reg-1.internal:443/a_b/c.d", "reg-1.internal:443/a_b/c.d"},
      {"docker.io", ""},
      {"index.docker.io", ""},
  };
  for (const auto& [text, canonical] : accepted) EXPECT_EQ(canonical, canonical_registry(text)) << text;
  for (const char* refused : {"", "/", "https://registry.example.com", "registry", "mirror/lumadex",
                              "registry.example.com/Upper", "registry.example.com//x",
                              "registry.example.com:port", "registry.example.com:123456",
                              "docker.io/library", "registry.example.com/-x", "reg istry.io",
                              "registry.example.com/app:tag"})
    EXPECT_THROW(canonical_registry(refused), std::invalid_argument) << refused;
}

TEST(Registry, ReferencesAndHosts) {
  const struct {
    const char* image;
    const char* registry;
    const char* reference;
    const char* host;
  } cases[] = {
      {"redis:6.0.4", "", "redis:6.0.4", "docker.io"},
      {"lmdx2/app", "", "lmdx2/app", "docker.io"},
      {"redis:6.0.4", "registry.example.com", "registry.example.com/redis:6.0.4",
       "registry.example.com"},
      {"lmdx2/app", "127.0.0.1:5000", "127.0.0.1:5000/lmdx2/app", "127.0.0.1:5000"},
      {"lmdx2/app:2.3", "localhost/mirror", "localhost/mirror/lmdx2/app:2.3", "localhost"},
      {"wurstmeister/kafka:2.12-2.5.0", "r.io:5000/a/b", "r.io:5000/a/b/wurstmeister/kafka:2.12-2.5.0",
       "r.io:5000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.reference, registry_reference(c.image, c.registry)) << c.image;
    EXPECT_EQ(c.host, registry_host(c.reference)) << c.reference;
  }
  EXPECT_EQ("docker.io", registry_host("index.docker.io/library/redis"));
}

TEST(Registry, TheCatalogueFromARegistry) {
  using lumadex::LumadexInstaller;
  EXPECT_EQ((std::vector<std::string>{"r.io:5000/p/lmdx2/app:2.3",
                                      "r.io:5000/p/wurstmeister/kafka:2.12-2.5.0",
                                      "r.io:5000/p/wurstmeister/zookeeper:3.4.6",
                                      "r.io:5000/p/elasticsearch:7.12.1",
                                      "r.io:5000/p/redis:6.0.4"}),
            LumadexInstaller::image_references("2.3", "r.io:5000/p"));
  // The definition digest covers the whole reference: another registry is
  // another definition; the label is not part of it.
  const ServiceList services = {LumadexInstaller::lumadex_services.back()};
  ServiceList moved = services;
  moved[0].image = registry_reference(moved[0].image, "r.io");
  Layout public_names("lumadex", services, 4u), from_registry("lumadex", moved, 4u);
  from_registry.set_registry("r.io");
  const ContainerDefinition before = public_names.definition(services[0]);
  const ContainerDefinition after = from_registry.definition(moved[0]);
  EXPECT_NE(before.digest, after.digest);
  EXPECT_EQ(0u, before.request.labels.count(kRegistryLabel));
  EXPECT_EQ("r.io", after.request.labels.at(kRegistryLabel));
}

TEST(Registry, RefusalsThatAskForALogin) {
  const std::pair<docker::ApiError, bool> cases[] = {
      {docker::ApiError("pull", 401, "unauthorized: authentication required"), true},
      {docker::ApiError("pull", 500, "Head \"http://r/v2/x/manifests/1\": no basic auth credentials"), true},
      {docker::ApiError("pull", 404, "pull access denied for x, repository does not exist or may "
                                    "require 'docker login'"), true},
      {docker::ApiError("log in", 500, "login attempt failed: incorrect username or password"), true},
      {docker::ApiError("pull", 500, "manifest unknown"), false},
      {docker::ApiError("pull", 404, "No such image: x"), false},
  };
  for (const auto& [error, asks] : cases) EXPECT_EQ(asks, asks_for_login(error)) << error.message();
  EXPECT_EQ("registry r.io:5000 needs a login: run 'docker login r.io:5000', or give "
            "--registry-user and --password-stdin",
            std::string(RegistryLoginNeeded("r.io:5000").what()));
}

}  // namespace
}  // namespace bootstrap::installer
