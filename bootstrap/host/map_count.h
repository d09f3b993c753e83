// The kernel's vm.max_map_count, which the search nodes need raised: reading
// it, raising it for the running system, and making it persistent in the
// settings file.
#pragma once

#include "bootstrap/host/host.h"

namespace bootstrap::host {

// The value the search nodes need, and the value raised to.
inline constexpr long kMaxMapCountThreshold = 262144;

// The value of vm.max_map_count in force (as `sysctl` reports it), or 0 when
// it cannot be read. Never throws.
long max_map_count(Host& host);

// Raises vm.max_map_count to kMaxMapCountThreshold for the running system
// when it is lower (`sysctl -w` as root, through sudo otherwise; a refusal is
// a warning) and makes it persistent in the settings file unless the
// file's last line setting it already gives kMaxMapCountThreshold or more (a
// lower line is kept, and ours appended after it). Does nothing on a host that is not Linux. Throws
// HostError when the settings file cannot be read or written.
void check_vm_max_map_count(Host& host);

}  // namespace bootstrap::host
