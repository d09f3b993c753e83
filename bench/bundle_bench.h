// Image bundles against the docker CLI's own way of carrying images: our
// `bootstrap bundle create` of the whole catalogue against `docker save |
// gzip`, and our load (`kestro_bench bundle-load FILE`: the bundle's check,
// then its load) against `gunzip | docker load`, on the same engine, each in
// a child process of its own. The application image is a stand-in with
// kBigImageMB of incompressible data (tag kBigTag, made from the catalogue's
// application image; `kestro_bench bundles --standin-mb N` makes another
// size), so the figures show throughput and whether our peak memory grows
// with the bundle.
#pragma once

#include <string>

#include "bench/measure.h"

namespace kestro::bench {

inline constexpr const char* kBigTag = "bench-big";
inline constexpr int kBigImageMB = 300;

// Makes the stand-in, then measures create and load of each tool once,
// removing the catalogue's images before each load. The figures go to the
// report's notes and to OUT/bundle.json. A failure is noted; the run goes on.
void measure_bundles(Session& session, int standin_mb = kBigImageMB);

// `kestro_bench bundle-load FILE`: checks and loads one bundle, as `install
// --bundle` does before the bring-up. Returns the exit status.
int op_bundle_load(const std::string& file);

}  // namespace kestro::bench
