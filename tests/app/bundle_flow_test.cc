// Image bundles end to end against the sandbox: a signed bundle made from the
// sandbox's registry installs the whole product on an engine that has none of
// its images while the registry is unreachable, its path swapped once opened;
// a damaged bundle, a cut-short one, one for another tag, one not signed by
// the trusted key and an lzop file are refused with one line and leave the
// engine as it was.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "bootstrap/docker/docker_client.h"
#include "bootstrap/docker/errors.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"
#include "tests/support/run.h"
#include "tests/support/sandbox.h"

namespace bootstrap::testing {
namespace {

using installer::lumadex::LumadexInstaller;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Lock, operation log and bundles live in a folder of this run's own.
struct PrivateFolder {
  std::filesystem::path dir;
  PrivateFolder() {
    char dir_template[] = "/tmp/kestro-bundle-XXXXXX";
    dir = mkdtemp(dir_template);
    setenv("KESTRO_LOCK_FILE", (dir / "bootstrap.lock").c_str(), 1);
    setenv("KESTRO_LOG_FILE", (dir / "log" / "bootstrap.log").c_str(), 1);
  }
  ~PrivateFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
} folder;

// `bootstrap ARGS` with a private copy of /etc/sysctl.conf mounted over the
// real one, so host preparation runs without changing this machine's file.
RunResult bootstrap(const std::string& args, const std::vector<std::string>& env = {}) {
  const std::string conf = (folder.dir / "sysctl.conf").string();
  std::ofstream(conf) << "vm.max_map_count=262144\n";
  return run_program({"unshare", "-m", "sh", "-c",
                      "mount --bind " + conf + " /etc/sysctl.conf && exec " + program_dir() +
                          "/bootstrap " + args},
                     env);
}

// KEY.pem (PKCS#8, as openssl writes it) and KEY.pub in the folder; returns
// the path without the suffix.
std::string key_pair(const std::string& key) {
  const std::string base = (folder.dir / key).string();
  const std::string cmd = "openssl genpkey -algorithm RSA -out " + base +
                          ".pem && openssl pkey -in " + base + ".pem -pubout -out " + base + ".pub";
  EXPECT_TRUE(std::filesystem::exists(base + ".pub") || run_program({"sh", "-c", cmd}).status == 0);
  return base;
}

std::string bundle_path() {
  static const std::string path = [] {
    std::string file = (folder.dir / "lumadex.bundle").string();
    RunResult made = bootstrap("bundle create --sign " + key_pair("a") + ".pem -o " + file);
    EXPECT_EQ(0, made.status) << made.out << made.err;
    EXPECT_TRUE(contains(made.out, "wrote " + file + " (")) << made.out;
    return file;
  }();
  return path;
}

// Takes every image the product runs out of the engine, whatever other tags
// it has too, so that only a load or a pull can bring it back.
void remove_product_images(docker::Client& client) {
  for (const std::string& reference : LumadexInstaller::image_references(std::nullopt)) {
    try {
      client.remove_image(client.get_image(reference), true);
    } catch (const docker::ImageNotFound&) {
    }
  }
}

// What a failed command must leave as it was: images, containers, networks.
std::string engine_state() {
  std::string state;
  for (const std::vector<std::string>& listing :
       {std::vector<std::string>{"docker", "images", "-a", "--no-trunc", "--format",
                                 "{{.ID}} {{.Repository}}:{{.Tag}}"},
        std::vector<std::string>{"docker", "ps", "-a", "--no-trunc", "--format",
                                 "{{.ID}} {{.Names}} {{.State}}"},
        std::vector<std::string>{"docker", "network", "ls", "--no-trunc", "-q"}}) {
    RunResult r = run_program(listing);
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) state += line + "\n";
  }
  return state;
}

std::string copy_of_bundle(const std::string& name, std::uintmax_t keep_bytes, bool flip_middle) {
  const std::string copy = (folder.dir / name).string();
  std::filesystem::copy_file(bundle_path(), copy, std::filesystem::copy_options::overwrite_existing);
  const std::uintmax_t size = std::filesystem::file_size(copy);
  if (flip_middle) {
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(size / 2));
    char byte = 0;
    file.get(byte);
    file.seekp(static_cast<std::streamoff>(size / 2));
    file.put(static_cast<char>(byte ^ 0x20));
  }
  if (keep_bytes < size) std::filesystem::resize_file(copy, keep_bytes);
  return copy;
}

class BundleFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the registry and a private sysctl.conf";
    client_ = std::shared_ptr<docker::Client>(docker::DockerClient::from_environment());
    ASSERT_EQ(0, bootstrap("uninstall").status);
  }
  void TearDown() override {
    if (client_) bootstrap("uninstall");
  }

  std::shared_ptr<docker::Client> client_;
};

TEST_F(BundleFlow, InstallsEveryServiceWithTheRegistryUnreachable) {
  const std::string bundle = bundle_path();
  RunResult inspected = bootstrap("bundle inspect " + bundle);
  EXPECT_EQ(0, inspected.status) << inspected.err;
  const std::vector<std::string> lines = lines_of(inspected.out);
  for (const std::string& reference : LumadexInstaller::image_references(std::nullopt))
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.starts_with("  " + reference + " ") && contains(line, " sha256:");
    })) << reference << " in\n" << inspected.out;
  EXPECT_TRUE(contains(inspected.out, "every member matches its size and SHA-256")) << inspected.out;
  const std::string fingerprint = run_program(
      {"sh", "-c", "openssl pkey -pubin -outform DER -in " + key_pair("a") + ".pub | sha256sum"}).out;
  EXPECT_TRUE(contains(inspected.out, "signed by key sha256:" + fingerprint.substr(0, 64) + ", "))
      << inspected.out;

  remove_product_images(*client_);
  const std::string tool = KESTRO_SOURCE_DIR "/tools/sandbox";
  ASSERT_EQ(0, run_program({tool, "registry", "down"}).status);
  struct RegistryBack {
    std::string tool;
    ~RegistryBack() { run_program({tool, "registry", "up"}); }
  } back{tool};
  const std::string mirror_log = sandbox_env("KESTRO_SANDBOX_MIRROR_LOG");
  const std::uintmax_t log_before = std::filesystem::file_size(mirror_log);

  // The bundle reaches the program through a FIFO, whose path becomes a
  // damaged copy once the program has opened it: the checked bytes load.
  const std::string fifo = (folder.dir / "fifo.bundle").string();
  const std::string damaged = copy_of_bundle("swapped-in.bundle", ~std::uintmax_t{0}, true);
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  RunResult installed;
  std::thread program([&] {
    installed = bootstrap("install --settle 0 --trust " + key_pair("a") + ".pub --bundle " + fifo);
  });
  EXPECT_EQ(0, run_program({"timeout", "60", "sh", "-c",
                            "exec 3>" + fifo + " && mv " + damaged + " " + fifo + " && cat " +
                                bundle + " >&3"}).status);
  program.join();
  EXPECT_EQ(0, installed.status) << installed.out << installed.err;
  EXPECT_TRUE(contains(installed.out, "signed by the trusted key sha256:")) << installed.out;
  EXPECT_TRUE(contains(installed.out, "loading 5 images from " + fifo + "\n")) << installed.out;
  EXPECT_FALSE(contains(installed.out, "pulling ")) << installed.out;
  for (const installer::ServiceDescription& s : LumadexInstaller::lumadex_services)
    EXPECT_TRUE(client_->inspect_container("lumadex-" + s.name).running) << s.name;

  // The engine asked the registry nothing: its requests carry a docker/
  // user agent in the mirror's log.
  std::ifstream log(mirror_log);
  log.seekg(static_cast<std::streamoff>(log_before));
  std::stringstream since;
  since << log.rdbuf();
  EXPECT_FALSE(contains(since.str(), "docker/")) << since.str();
}

TEST_F(BundleFlow, DamagedOrForeignBundlesAreRefusedAndChangeNothing) {
  const std::string bundle = bundle_path();
  const std::uintmax_t size = std::filesystem::file_size(bundle);
  const std::string flipped = copy_of_bundle("flipped.bundle", size, true);
  const std::string truncated = copy_of_bundle("truncated.bundle", size * 2 / 3, false);
  const std::string unsigned_bundle = (folder.dir / "unsigned.bundle").string();
  ASSERT_EQ(0, bootstrap("bundle create -o " + unsigned_bundle).status);
  EXPECT_TRUE(contains(bootstrap("bundle inspect " + unsigned_bundle).out,
                       "\nbundle is not signed: checked for damage only\n"));
  // An lzop file, with an lzop on PATH that leaves a mark if it ever runs.
  const std::string lzop = (folder.dir / "lzop.bundle").string();
  std::ofstream(lzop, std::ios::binary) << std::string("\x89LZO\0\r\n\x1a\n\x10\x30\x20\xa0", 13)
                                        << std::string(4096, 'x');
  const std::filesystem::path stand_in = folder.dir / "bin" / "lzop";
  std::filesystem::create_directories(stand_in.parent_path());
  std::ofstream(stand_in) << "#!/bin/sh\ntouch " << (folder.dir / "lzop-ran").string() << "\ncat\n";
  std::filesystem::permissions(stand_in, std::filesystem::perms::owner_all);
  remove_product_images(*client_);
  const std::string before = engine_state();

  struct Case {
    std::string args;
    std::string error;
  };
  for (const Case& c : {Case{"install --bundle " + flipped, "error: install: " + flipped + " is damaged: "},
                        Case{"update --bundle " + truncated, "error: update: " + truncated + " is damaged: "},
                        Case{"install --version 2.3 --bundle " + bundle,
                             "error: install: " + bundle + " holds lmdx2/app:latest, not the 2.3 --version "
                                                  "asks for"},
                        Case{"bundle inspect " + flipped, "error: bundle inspect: " + flipped + " is damaged: "},
                        Case{"install --trust " + key_pair("b") + ".pub --bundle " + bundle,
                             "error: install: " + bundle + " is signed by key sha256:"},
                        Case{"update --trust " + key_pair("a") + ".pub --bundle " + unsigned_bundle,
                             "error: update: " + unsigned_bundle + " is not signed; "},
                        Case{"install --bundle " + lzop, "error: install: " + lzop + " is damaged: "}}) {
    SCOPED_TRACE(c.args);
    RunResult r = bootstrap(c.args, {"PATH=" + (folder.dir / "bin").string() + ":" + getenv("PATH")});
    EXPECT_EQ(1, r.status) << r.out << r.err;
    std::vector<std::string> err = lines_of(r.err);
    // A changing command's error is followed by where its record is.
    ASSERT_EQ(c.args.starts_with("bundle") ? 1u : 2u, err.size()) << r.err;
    EXPECT_EQ(0u, err.front().find(c.error)) << err.front();
  }
  EXPECT_EQ(before, engine_state());
  EXPECT_FALSE(std::filesystem::exists(folder.dir / "lzop-ran"));
}

}  // namespace
}  // namespace bootstrap::testing
