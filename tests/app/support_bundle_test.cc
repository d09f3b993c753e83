// `bootstrap support-bundle` on the sandbox engine: what the archive holds
// for an installed product (files 0600), that a container's secrets stay out, and
// that with the engine unreachable it still holds the host's facts.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/lumadex/sandbox_engine.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

namespace fs = std::filesystem;

// Every file of the archive, by its path below the archive's top folder.
std::map<std::string, std::string> unpack(const fs::path& archive, const fs::path& into) {
  fs::create_directories(into);
  RunResult tar = run_program({"/usr/bin/tar", "-xzf", archive.string(), "-C", into.string()});
  EXPECT_EQ(0, tar.status) << tar.err;
  std::map<std::string, std::string> files;
  fs::path top = into / archive.filename().string().substr(0, archive.filename().string().size() - 7);
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (!entry.is_regular_file()) continue;
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, entry.status().permissions())
        << entry.path();
    std::ifstream in(entry.path());
    std::ostringstream text;
    text << in.rdbuf();
    files[fs::relative(entry.path(), top).string()] = text.str();
  }
  return files;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SupportBundleOnEngine, SecretsStayOutAndAnUnreachableEngineLeavesTheHostFacts) {
  REQUIRE_SANDBOX();
  std::shared_ptr<docker::Client> client = sandbox_client();
  remove_objects(*client, {"lumadex-"});
  SandboxProduct sandbox;
  ASSERT_TRUE(sandbox.product.install());
  // A worker of the api as scaling names them, with a secret in its
  // environment that it also prints.
  docker::ContainerSpec worker;
  worker.name = "lumadex-api_9";
  worker.image = client->inspect_container("lumadex-api").image;
  worker.environment = docker::KeyValues{{"SECRET_KEY", "s3cr3t-value"}, {"DB_PASS", "pa55 w0rd"}};
  // The trap lets it stop at once rather than after the engine's grace time.
  worker.command =
      "sh -c 'trap \"exit 0\" TERM; echo the key is $SECRET_KEY and $DB_PASS; "
      "while true; do sleep 1; done'";
  client->start_container(client->create_container(worker).id);
  // The bundle is to find the secret in the log, so wait until it is there.
  for (int tries = 0; tries < 100; ++tries) {
    std::string log;
    client->container_logs("lumadex-api_9", {}, [&](docker::LogStream, std::string_view line) {
      log.append(line);
    });
    if (contains(log, "the key is")) break;
    usleep(100 * 1000);
  }

  const fs::path dir = fs::temp_directory_path() / ("kestro-bundle-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string bootstrap = program_dir() + "/bootstrap";
  {
    const fs::path file = dir / "up.tar.gz";
    // An operation log with one rotated file, one of them naming a header.
    std::ofstream(dir / "op.log") << "install: pulling lmdx2/app\n";
    std::ofstream(dir / "op.log.1") << "X-Registry-Auth: eyJ1c2VyIjoiYSJ9\n";
    // A link where a rotated log would be is never followed into the bundle.
    std::ofstream(dir / "elsewhere") << "not for the bundle\n";
    fs::create_symlink(dir / "elsewhere", dir / "op.log.2");
    RunResult r = run_program({bootstrap, "support-bundle", "-o", file.string()},
                              {"KESTRO_LOG_FILE=" + (dir / "op.log").string()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("wrote " + file.string() + " (" + std::to_string(fs::file_size(file)) + " bytes)",
              lines_of(r.out).back());
    std::map<std::string, std::string> files = unpack(file, dir / "up");

    std::set<std::string> names;
    for (const auto& [name, text] : files) names.insert(name);
    for (const std::string expected :
         {"version.txt", "host/os-release", "host/facts.txt", "host/sysctl.txt",
          "engine/version.json", "engine/info.json", "status.json", "preflight.txt",
          "containers/lumadex-api/inspect.json", "containers/lumadex-es1/inspect.json",
          "containers/lumadex-api_9/inspect.json", "containers/lumadex-api_9/log.txt",
          "networks/lumadex-es-net.json",
          "volumes/lumadex-es1-vol.json", "redactions.txt"})
      EXPECT_TRUE(names.count(expected)) << expected << " missing";
    EXPECT_TRUE(contains(files["errors.txt"], "log/op.log.2")) << files["errors.txt"];
    EXPECT_EQ(1u, lines_of(files["errors.txt"]).size()) << files["errors.txt"];
    EXPECT_EQ("install: pulling lmdx2/app\n", files["log/op.log"]);
    EXPECT_EQ("X-Registry-Auth: ***REDACTED***\n", files["log/op.log.1"]);
    EXPECT_EQ(0u, names.count("log/op.log.2"));
    for (const auto& [name, text] : files)
      for (const std::string secret : {"s3cr3t-value", "pa55 w0rd", "w0rd", "not for the bundle"})
        EXPECT_FALSE(contains(text, secret)) << name << " holds " << secret;
    EXPECT_TRUE(contains(files["redactions.txt"],
                         "containers/lumadex-api_9/inspect.json\tConfig.Env\tSECRET_KEY\n"))
        << files["redactions.txt"];
    EXPECT_TRUE(contains(files["containers/lumadex-api_9/log.txt"],
                         "the key is ***REDACTED*** and ***REDACTED***\n"))
        << files["containers/lumadex-api_9/log.txt"];
    EXPECT_TRUE(contains(files["host/facts.txt"], "vm.max_map_count: ")) << files["host/facts.txt"];
    EXPECT_TRUE(contains(files["status.json"], "\"all_running\": true")) << files["status.json"];
  }
  {
    const fs::path file = dir / "down.tar.gz";
    RunResult r = run_program({bootstrap, "support-bundle", "-o", file.string()},
                              {"DOCKER_HOST=unix://" + (dir / "no-engine.sock").string()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "listed in errors.txt")) << r.out;
    std::map<std::string, std::string> files = unpack(file, dir / "down");
    for (const std::string expected : {"version.txt", "host/os-release", "host/facts.txt",
                                       "host/sysctl.txt", "redactions.txt", "errors.txt"})
      EXPECT_TRUE(files.count(expected)) << expected << " missing";
    EXPECT_EQ(0u, files.count("engine/info.json"));
    EXPECT_TRUE(contains(files["errors.txt"], "engine/version.json: ")) << files["errors.txt"];
    EXPECT_TRUE(contains(files["errors.txt"], "no-engine.sock")) << files["errors.txt"];
  }
  fs::remove_all(dir);
  remove_objects(*client, {"lumadex-"});
}

}  // namespace
}  // namespace bootstrap::testing
