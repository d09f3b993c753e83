// Writing to open file descriptors.
#pragma once

#include <string_view>

namespace bootstrap::base {

// Writes all of `bytes` to `fd`, resuming after short writes and signals.
// Returns 0 when everything was written, else the errno of the failed write
// (callers name the file in their own error).
int write_all(int fd, std::string_view bytes);

}  // namespace bootstrap::base
