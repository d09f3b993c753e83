#include "bench/bundle_bench.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "bootstrap/bundle/image_bundle.h"
#include "bootstrap/base/text.h"
#include "bootstrap/docker/docker_client.h"
#include "bootstrap/installer/lumadex/lumadex_installer.h"

namespace kestro::bench {

namespace {

namespace fs = std::filesystem;
using bootstrap::installer::lumadex::LumadexInstaller;

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double file_mb(const fs::path& file) { return static_cast<double>(fs::file_size(file)) / 1e6; }

// One tool's figures for one step, as a line of the notes and a JSON object.
struct Figures {
  Sample sample;
  double archive_mb = 0;
  double file_mb = 0;

  double seconds() const { return sample.wall_ms / 1000.0; }
  double mb_per_s() const { return seconds() > 0 ? archive_mb / seconds() : 0; }
  std::string line() const {
    return fixed(seconds(), 1) + " s, " + fixed(mb_per_s(), 1) + " MB/s, peak RSS " +
           fixed(sample.maxrss_mb, 1) + " MB";
  }
  Json json() const {
    return Json{{"wall_s", seconds()},
                {"mb_per_s", mb_per_s()},
                {"maxrss_mb", sample.maxrss_mb},
                {"cpu_s", sample.cpu_ms / 1000.0}};
  }
};

}  // namespace

int op_bundle_load(const std::string& file) {
  auto client = bootstrap::docker::DockerClient::from_environment();
  bootstrap::bundle::VerifyOptions options;
  options.keep_images = true;
  bootstrap::bundle::load(*client, bootstrap::bundle::verify(file, options));
  return 0;
}

void measure_bundles(Session& session, int standin_mb) {
  session.guarded("bundles", [&] {
    Runner& runner = session.runner();
    const fs::path dir = fs::absolute(session.options().out / "bundle");
    fs::create_directories(dir);
    const std::string bootstrap =
        (fs::read_symlink("/proc/self/exe").parent_path() / "bootstrap").string();
    const std::vector<std::string> references = LumadexInstaller::image_references(kBigTag);
    const std::string names = bootstrap::base::join(references, " ");
    const std::string big = LumadexInstaller::main_service + ":" + kBigTag;

    session.progress("bundles: a " + std::to_string(standin_mb) + " MB application stand-in");
    runner.clean();
    // Both tools then start from the same images; ours would otherwise
    // count the pulls of missing ones.
    runner.ours({"pull"}, "bundle-pull", false);
    // Random bytes: neither tool's compressor can make them smaller, as with
    // a real application's binaries and models.
    runner.run({"sh", "-c",
                "docker rm -f kestro-bench-big >/dev/null 2>&1; docker run --name kestro-bench-big " +
                    LumadexInstaller::main_service + " sh -c 'head -c " +
                    std::to_string(standin_mb) + "000000 /dev/urandom > /bench-big.bin' && " +
                    "docker commit kestro-bench-big " + big + " && docker rm kestro-bench-big"},
               "bundle-standin", false, 600);
    const std::string remove_images = "docker rmi -f $(docker image inspect -f '{{.Id}}' " + names +
                                      " | sort -u) >/dev/null";

    const fs::path ours_file = dir / "lumadex.bundle";
    const fs::path peer_file = dir / "lumadex.tar.gz";
    session.progress("bundles: create, ours and docker save | gzip");
    Figures ours_create{runner.run({bootstrap, "bundle", "create", "--version", kBigTag, "-o",
                                    ours_file.string(), "--force"},
                                   "bundle-create", false, 900)};
    Figures peer_create{runner.run({"sh", "-c", "docker save " + names + " | gzip > " +
                                                    peer_file.string()},
                                   "bundle-docker-save-gzip", false, 900)};

    session.progress("bundles: load, ours and gunzip | docker load");
    runner.run({"sh", "-c", remove_images}, "bundle-remove-images", false);
    Figures ours_load{runner.run({fs::read_symlink("/proc/self/exe").string(), "bundle-load",
                                  ours_file.string()},
                                 "bundle-load", false, 900)};
    runner.run({"sh", "-c", remove_images}, "bundle-remove-images", false);
    Figures peer_load{runner.run({"sh", "-c", "gunzip -c " + peer_file.string() +
                                                  " | docker load -q"},
                                 "bundle-gunzip-docker-load", false, 900)};

    // Throughput counts the engine's archive, the same bytes for both tools.
    const bootstrap::bundle::Manifest manifest =
        bootstrap::bundle::verify(ours_file.string(), {}).manifest();
    const double archive_mb =
        static_cast<double>(manifest.member(bootstrap::bundle::kImagesMember)->size) / 1e6;
    for (Figures* f : {&ours_create, &peer_create, &ours_load, &peer_load}) f->archive_mb = archive_mb;
    ours_create.file_mb = ours_load.file_mb = file_mb(ours_file);
    peer_create.file_mb = peer_load.file_mb = file_mb(peer_file);

    session.note("bundle: the catalogue's image archive is " + fixed(archive_mb, 1) +
                 " MB (application stand-in " + std::to_string(standin_mb) +
                 " MB of random bytes); bundle file " + fixed(ours_create.file_mb, 1) +
                 " MB (zstd), docker save | gzip " + fixed(peer_create.file_mb, 1) + " MB");
    session.note("bundle create: ours " + ours_create.line() + "; docker save | gzip " +
                 peer_create.line());
    session.note("bundle load (ours checks every byte first): ours " + ours_load.line() +
                 "; gunzip | docker load " + peer_load.line());
    Json figures{{"archive_mb", archive_mb},
                 {"create", {{"ours", ours_create.json()}, {"peer", peer_create.json()}}},
                 {"load", {{"ours", ours_load.json()}, {"peer", peer_load.json()}}},
                 {"file_mb", {{"ours", ours_create.file_mb}, {"peer", peer_create.file_mb}}}};
    std::ofstream(session.options().out / "bundle.json") << figures.dump(2) << "\n";
    fs::remove(ours_file);
    fs::remove(peer_file);
  });
}

}  // namespace kestro::bench
