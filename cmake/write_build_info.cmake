# Run at every build (cmake -P): writes the header that says which version and
# which commit the programs were built from.  The file is rewritten only when
# its text changes, so an unchanged commit recompiles nothing.
#
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -DVERSION=... -P write_build_info.cmake
#
# Outside a git checkout (a source tarball), or without git, the commit reads
# "unknown".
set(commit unknown)
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE status)
  if(status EQUAL 0 AND described MATCHES "^[-A-Za-z0-9._+]+$")
    set(commit "${described}")
  endif()
endif()

set(text "// Written by cmake/write_build_info.cmake at build time; do not edit.
#define KESTRO_BUILD_VERSION \"${VERSION}\"
#define KESTRO_BUILD_COMMIT \"${commit}\"
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
