// Image check, registry login and service installation.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "bootstrap/docker/errors.h"
#include "tests/installer/installer_test_util.h"

namespace bootstrap::installer {
namespace {

using test::CapturedStdout;
using test::Lines;
using test::Rig;
using test::service;

// What one install_service call did.
struct Outcome {
  Lines printed;
  Lines requests;
};

// Installs `image` as the service "api" on an engine that has it or not, with
// its repository already fetched by this installer object or not.
Outcome install(const std::string& image, bool on_engine, bool update, bool renewed) {
  Rig rig;
  rig.engine->add_to_registry(image);
  if (on_engine) rig.engine->add_image(image);
  KestroInstaller& installer = rig.make();
  if (renewed) installer.renewed_images.insert(parse_image_reference(image).repository);
  CapturedStdout out;
  try {
    installer.install_service(service("api", image), update);
  } catch (const docker::ApiError& e) {
    Lines requests = rig.engine->requests_;
    requests.back() += std::string(" threw ") + e.what();
    return {out.lines(), requests};
  }
  return {out.lines(), rig.engine->requests_};
}

TEST(InstallService, ImageCheckOutcomes) {
  {  // "latest" present, update, not fetched yet: fetched over it, the old
     // image left for after the bring-up (the fake's pull keeps its id)
    Outcome o = install("lmdx2/app", true, true, false);
    EXPECT_EQ((Lines{"installing lumadex-api", "pulling lmdx2/app latest, please wait...",
                     "pull successfull"}),
              o.printed);
    EXPECT_EQ((Lines{"get image lmdx2/app", "pull lmdx2/app:latest", "get image lmdx2/app",
                     "create container lumadex-api"}),
              o.requests);
  }
  const Lines nothing_fetched_app{"get image lmdx2/app", "create container lumadex-api"};
  {  // "latest" present, update, already fetched by this object: nothing
    Outcome o = install("lmdx2/app", true, true, true);
    EXPECT_EQ(Lines{"installing lumadex-api"}, o.printed);
    EXPECT_EQ(nothing_fetched_app, o.requests);
  }
  for (bool renewed : {false, true}) {  // "latest" present, no update: nothing
    Outcome o = install("lmdx2/app", true, false, renewed);
    EXPECT_EQ(Lines{"installing lumadex-api"}, o.printed);
    EXPECT_EQ(nothing_fetched_app, o.requests);
  }
  for (bool update : {false, true})  // another tag present: nothing, whatever update says
    for (bool renewed : {false, true}) {
      Outcome o = install("redis:6.0.4", true, update, renewed);
      EXPECT_EQ(Lines{"installing lumadex-api"}, o.printed);
      EXPECT_EQ((Lines{"get image redis:6.0.4", "create container lumadex-api"}), o.requests);
    }
  for (bool update : {false, true}) {  // missing, not fetched yet: fetched
    Outcome o = install("redis:6.0.4", false, update, false);
    EXPECT_EQ((Lines{"installing lumadex-api", "pulling redis 6.0.4, please wait...",
                     "pull successfull"}),
              o.printed);
    EXPECT_EQ((Lines{"get image redis:6.0.4", "pull redis:6.0.4", "create container lumadex-api"}),
              o.requests);
  }
  for (bool update : {false, true}) {  // missing, repository already fetched: no fetch,
                                       // and the engine then refuses the container
    Outcome o = install("redis:6.0.4", false, update, true);
    EXPECT_EQ(Lines{"installing lumadex-api"}, o.printed);
    EXPECT_EQ((Lines{"get image redis:6.0.4",
                     "create container lumadex-api threw create container lumadex-api: 404: "
                     "No such image: redis:6.0.4"}),
              o.requests);
  }
  {  // a registry address with a port: the tag is only after the last "/"
    Outcome o = install("registry.local:5000/app", false, false, false);
    EXPECT_EQ((Lines{"installing lumadex-api",
                     "pulling registry.local:5000/app latest, please wait...", "pull successfull"}),
              o.printed);
    EXPECT_EQ((Lines{"get image registry.local:5000/app", "pull registry.local:5000/app:latest",
                     "create container lumadex-api"}),
              o.requests);
  }
  {  // a digest is pulled by its digest and never refreshed
    Outcome o = install("app@sha256:abc", false, true, false);
    EXPECT_EQ((Lines{"get image app@sha256:abc", "pull app@sha256:abc",
                     "create container lumadex-api"}),
              o.requests);
    Outcome present = install("app@sha256:abc", true, true, false);
    EXPECT_EQ((Lines{"get image app@sha256:abc", "create container lumadex-api"}), present.requests);
  }
}

TEST(InstallService, EachRepositoryFetchedOncePerObject) {
  {  // three roles of one image with update: the first fetches
    Rig rig;
    rig.engine->add_image("lmdx2/app");
    rig.engine->add_to_registry("lmdx2/app");
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    for (const char* role : {"api", "task", "worker"})
      installer.install_service(service(role, "lmdx2/app"), true);
    EXPECT_EQ((Lines{"get image lmdx2/app", "pull lmdx2/app:latest", "get image lmdx2/app",
                     "create container lumadex-api", "get image lmdx2/app",
                     "create container lumadex-task", "get image lmdx2/app",
                     "create container lumadex-worker"}),
              rig.engine->requests_);
    EXPECT_EQ(std::set<std::string>{"lmdx2/app"}, installer.renewed_images);
  }
  {  // two tags of one repository, neither present: only the first is fetched
    Rig rig;
    rig.engine->add_to_registry("redis:6.0.4");
    rig.engine->add_to_registry("redis:7");
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    installer.install_service(service("cache", "redis:6.0.4"), false);
    EXPECT_THROW(installer.install_service(service("cache2", "redis:7"), false),
                 docker::ImageNotFound);
    EXPECT_EQ((Lines{"get image redis:6.0.4", "pull redis:6.0.4", "create container lumadex-cache",
                     "get image redis:7", "create container lumadex-cache2"}),
              rig.engine->requests_);
  }
}

TEST(InstallService, Failures) {
  {  // another error on the image lookup: nothing more happens
    Rig rig;
    rig.engine->fail_next("get image", docker::ApiError("get image redis", 500, "boom"));
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    EXPECT_THROW(installer.install_service(service("cache", "redis"), false), docker::ApiError);
    EXPECT_EQ(Lines{"get image redis"}, rig.engine->requests_);
    EXPECT_TRUE(installer.containers.empty());
  }
  {  // a fetch ahead of an update that fails: said so, nothing removed or defined
    Rig rig;
    rig.services = {service("api", "lmdx2/app"), service("cache", "redis:6.0.4")};
    rig.engine->add_image("lmdx2/app");
    rig.engine->add_to_registry("lmdx2/app");
    rig.engine->fail_next("pull lmdx2/app", docker::ApiError("pull lmdx2/app", 500, "unreachable"));
    KestroInstaller& installer = rig.make();
    CapturedStdout quiet;
    try {
      installer.fetch_images();
      ADD_FAILURE() << "the fetch did not fail";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string("nothing was changed: pull lmdx2/app: 500: unreachable"), e.what());
    }
    EXPECT_EQ((Lines{"get image lmdx2/app", "pull lmdx2/app:latest"}), rig.engine->requests_);
    EXPECT_TRUE(rig.engine->has_image("lmdx2/app"));
    EXPECT_TRUE(installer.renewed_images.empty());
  }
  {  // a failed pull: the repository is not marked fetched, so it is tried again
    Rig rig;
    rig.engine->add_to_registry("redis:6.0.4");
    rig.engine->fail_next("pull", docker::ApiError("pull", 500, "registry down"));
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    EXPECT_THROW(installer.install_service(service("cache", "redis:6.0.4"), false),
                 docker::ApiError);
    EXPECT_TRUE(installer.renewed_images.empty());
    installer.install_service(service("cache", "redis:6.0.4"), false);
    EXPECT_EQ((Lines{"installing lumadex-cache", "pulling redis 6.0.4, please wait...",
                     "installing lumadex-cache", "pulling redis 6.0.4, please wait...",
                     "pull successfull"}),
              out.lines());
    EXPECT_EQ((Lines{"get image redis:6.0.4", "pull redis:6.0.4", "get image redis:6.0.4",
                     "pull redis:6.0.4", "create container lumadex-cache"}),
              rig.engine->requests_);
  }
}

TEST(InstallService, PullProgressEndsWithAnEmptyEvent) {
  // The display sees the pull's own lines, then one empty event when the
  // pull ends, whether it succeeded or not.
  Rig rig;
  rig.engine->add_to_registry("redis:6.0.4");
  KestroInstaller& installer = rig.make();
  Lines events;
  installer.pull_progress = [&](const docker::PullEvent& e) {
    events.push_back(e.id.empty() && e.status.empty() ? "(end)" : e.id + " " + e.status);
  };
  CapturedStdout quiet;
  installer.install_service(service("cache", "redis:6.0.4"), false);
  EXPECT_EQ((Lines{"6.0.4 Pulling from redis", " Status: Downloaded newer image for redis:6.0.4",
                   "(end)"}),
            events);
  events.clear();
  EXPECT_THROW(installer.install_service(service("es1", "elasticsearch:7.12.1"), false),
               docker::NotFound);
  EXPECT_EQ(Lines{"(end)"}, events);
}

TEST(Login, CountsAndCredentials) {
  {  // one successful login serves every later pull
    Rig rig;
    rig.engine->users_["user"] = "secret";
    rig.engine->add_to_registry("redis:6.0.4");
    rig.engine->add_to_registry("elasticsearch:7.12.1");
    KestroInstaller& installer = rig.make();
    installer.user_name = "user";
    installer.password = "secret";
    CapturedStdout quiet;
    installer.install_service(service("cache", "redis:6.0.4"), false);
    installer.install_service(service("es1", "elasticsearch:7.12.1"), false);
    EXPECT_EQ((Lines{"get image redis:6.0.4", "login user", "pull redis:6.0.4",
                     "create container lumadex-cache", "get image elasticsearch:7.12.1",
                     "pull elasticsearch:7.12.1", "create container lumadex-es1"}),
              rig.engine->requests_);
    EXPECT_TRUE(installer.is_logged_in);
  }
  {  // a refused login is silent and is tried again before the next pull
    Rig rig;
    rig.engine->users_["user"] = "secret";
    rig.engine->add_to_registry("redis:6.0.4");
    rig.engine->add_to_registry("elasticsearch:7.12.1");
    KestroInstaller& installer = rig.make();
    installer.user_name = "user";
    installer.password = "wrong";
    CapturedStdout out;
    installer.install_service(service("cache", "redis:6.0.4"), false);
    installer.install_service(service("es1", "elasticsearch:7.12.1"), false);
    EXPECT_EQ((Lines{"installing lumadex-cache", "pulling redis 6.0.4, please wait...",
                     "pull successfull", "installing lumadex-es1",
                     "pulling elasticsearch 7.12.1, please wait...", "pull successfull"}),
              out.lines());
    EXPECT_EQ((Lines{"get image redis:6.0.4", "login user", "pull redis:6.0.4",
                     "create container lumadex-cache", "get image elasticsearch:7.12.1",
                     "login user", "pull elasticsearch:7.12.1", "create container lumadex-es1"}),
              rig.engine->requests_);
    EXPECT_FALSE(installer.is_logged_in);
  }
  {  // no login when nothing is fetched
    Rig rig;
    rig.engine->users_["user"] = "secret";
    rig.engine->add_image("redis:6.0.4");
    KestroInstaller& installer = rig.make();
    installer.user_name = "user";
    installer.password = "secret";
    CapturedStdout quiet;
    installer.install_service(service("cache", "redis:6.0.4"), true);
    EXPECT_EQ((Lines{"get image redis:6.0.4", "create container lumadex-cache"}),
              rig.engine->requests_);
    EXPECT_FALSE(installer.is_logged_in);
  }
  {  // no user name: no login request, the pull runs without one
    Rig rig;
    rig.engine->add_to_registry("redis:6.0.4");
    KestroInstaller& installer = rig.make();
    installer.password = "secret";
    CapturedStdout quiet;
    installer.install_service(service("cache", "redis:6.0.4"), false);
    EXPECT_EQ((Lines{"get image redis:6.0.4", "pull redis:6.0.4", "create container lumadex-cache"}),
              rig.engine->requests_);
  }
  {  // an empty user name is not absent: the login is attempted
    Rig rig;
    KestroInstaller& installer = rig.make();
    installer.user_name = "";
    installer.login();
    EXPECT_EQ(Lines{"login "}, rig.engine->requests_);
    EXPECT_FALSE(installer.is_logged_in);
  }
  {  // called directly on a fresh object: nothing asked, not logged in
    Rig rig;
    KestroInstaller& installer = rig.make();
    CapturedStdout out;
    installer.login();
    EXPECT_EQ(Lines{}, out.lines());
    EXPECT_EQ(Lines{}, rig.engine->requests_);
    EXPECT_FALSE(installer.is_logged_in);
  }
  {  // an unreachable engine is swallowed too; a later success sets the flag,
     // and every attempt starts by clearing it
    Rig rig;
    rig.engine->users_["user"] = "secret";
    rig.engine->fail_next("login", docker::ConnectionError("login", "unix:///run/docker.sock",
                                                           "Connection refused"));
    KestroInstaller& installer = rig.make();
    installer.user_name = "user";
    installer.password = "secret";
    installer.login();
    EXPECT_FALSE(installer.is_logged_in);
    installer.login();
    EXPECT_TRUE(installer.is_logged_in);
    installer.password = "changed";
    installer.login();
    EXPECT_FALSE(installer.is_logged_in);
  }
  {  // a refused login and a refused pull: the pull's 401 reaches the caller
    Rig rig;
    rig.engine->add_to_registry("lmdx2/private");
    rig.engine->private_repositories_.insert("lmdx2/private");
    KestroInstaller& installer = rig.make();
    installer.user_name = "user";
    installer.password = "wrong";
    CapturedStdout quiet;
    try {
      installer.install_service(service("api", "lmdx2/private"), false);
      ADD_FAILURE() << "a refused pull was not reported";
    } catch (const docker::ApiError& e) {
      EXPECT_EQ(401, e.status());
    }
    EXPECT_EQ((Lines{"get image lmdx2/private", "login user", "pull lmdx2/private:latest"}),
              rig.engine->requests_);
  }
}

}  // namespace
}  // namespace bootstrap::installer
