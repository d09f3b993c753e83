// QuietHost: host facilities for the benchmarks, so that host preparation
// (Docker presence, vm.max_map_count) answers at once without running
// programs or touching /etc. It is the tests' prepared FakeHost with two
// differences: it reports this machine's CPU count, as `bootstrap` would when
// the engine does not tell its own, and every shell line is refused with
// status 127, as a command that cannot be found.
#pragma once

#include "fakes/fake_host.h"

namespace kestro::bench {

class QuietHost : public bootstrap::testing::FakeHost {
 public:
  QuietHost();
};

}  // namespace kestro::bench
