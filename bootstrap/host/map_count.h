// The kernel's vm.max_map_count, which the search nodes need raised: reading
// it, raising it for the running system, and making it persistent in the
// settings file.
#pragma once

#include <string>

#include "bootstrap/host/host.h"

namespace bootstrap::host {

// The value the search nodes need, and the value raised to.
inline constexpr long kMaxMapCountThreshold = 262144;

// The value of vm.max_map_count in force (as `sysctl` reports it), or 0 when
// it cannot be read. Never throws.
long max_map_count(Host& host);

// Raises vm.max_map_count to kMaxMapCountThreshold for the running system
// when it is lower (`sysctl -w` as root, through sudo otherwise) and makes it
// persistent in the settings file unless the file's last line setting it
// already gives kMaxMapCountThreshold or more (a lower line is kept, and ours
// appended after it). With a shell runner that only describes (a dry run),
// says "would apply" and never "applied". Does nothing on a host that is not
// Linux. Returns why the value in force could not be raised (the refused
// command and its status), or "" when it is high enough or was raised.
// Throws HostError when the settings file cannot be read or written.
std::string check_vm_max_map_count(Host& host);

}  // namespace bootstrap::host
