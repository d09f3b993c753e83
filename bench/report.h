// The report of one run: the table, printed and written to OUT/results.txt,
// and every figure behind it in OUT/results.json (each series' samples with
// their median, min and max; requests by kind; the targets, met or missed).
// Targets are reported, never asserted: a missed one does not fail the run.
#pragma once

#include "bench/measure.h"

namespace kestro::bench {

// Prints the table to stdout and writes results.txt and results.json into
// the session's output folder.
void report(const Session& session, const Measurements& m);

}  // namespace kestro::bench
