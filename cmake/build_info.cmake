# The version and commit the programs report (bootstrap --version).  The
# version is the project's, from project() in the top CMakeLists.txt, the one
# place it is set; the commit comes from `git describe --always --dirty`,
# asked again at every build, so a new commit or an edited tree shows without
# reconfiguring.  bootstrap/app/build_info.h includes the generated header.
set(KESTRO_BUILD_INFO_DIR "${PROJECT_BINARY_DIR}/generated")
add_custom_target(kestro_build_info
  COMMAND "${CMAKE_COMMAND}"
    "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "-DOUTPUT=${KESTRO_BUILD_INFO_DIR}/kestro_build_info.h"
    "-DVERSION=${PROJECT_VERSION}"
    -P "${PROJECT_SOURCE_DIR}/cmake/write_build_info.cmake"
  BYPRODUCTS "${KESTRO_BUILD_INFO_DIR}/kestro_build_info.h"
  COMMENT "Checking the git commit for --version"
  VERBATIM)
add_dependencies(kestro_app kestro_build_info)
target_include_directories(kestro_app PRIVATE "${KESTRO_BUILD_INFO_DIR}")
