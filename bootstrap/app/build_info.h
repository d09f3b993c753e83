// What `bootstrap --version` prints: the project version set once in the top
// CMakeLists.txt, and the git commit the program was built from.  Both come
// from a header the build writes (cmake/build_info.cmake), so this one stays
// the same from build to build.
#pragma once

#include "kestro_build_info.h"

namespace bootstrap::app {

// "bootstrap VERSION (commit DESCRIBE)", DESCRIBE being `git describe --always
// --dirty` of the source tree at build time, or "unknown" outside a checkout.
inline const char* version_line() {
  return "bootstrap " KESTRO_BUILD_VERSION " (commit " KESTRO_BUILD_COMMIT ")";
}

}  // namespace bootstrap::app
