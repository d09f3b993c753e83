#include "bench/quiet_host.h"

#include "bootstrap/host/host.h"

namespace kestro::bench {

QuietHost::QuietHost() {
  system.cpu_count_ = bootstrap::host::real_host().system.cpu_count();
  shell.unlisted_status_ = 127;
}

}  // namespace kestro::bench
