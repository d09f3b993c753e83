# What `cmake --install` puts on a host, and the Debian package CPack makes of
# it (tools/package runs `cpack -G DEB`).  Only the programs, the three shared
# libraries they load, the boot-time lock folder, the manual page, the bash completion and the Debian
# documentation files are installed: no tests, benchmarks, static libraries or
# headers.
#
#   <prefix>/sbin/bootstrap
#   <prefix>/lib/kestro/                   the diagnostic programs
#   <prefix>/lib/<multiarch>/kestro/       libkestro_installer.so, liblumadex_installer.so,
#                                          librsa.so (signed image bundles)
#   <prefix>/share/man/man8/bootstrap.8.gz
#   <prefix>/share/bash-completion/completions/bootstrap
#   <prefix>/share/doc/kestro-bootstrap/{copyright,changelog.Debian.gz}
#   <prefix>/lib/tmpfiles.d/kestro-bootstrap.conf  the lock's folder and file at boot
#
# The shared libraries are private to this package (no headers, no stable
# interface, no versioned SONAME), so they live in a folder of their own out of
# the linker's search path, the multiarch one Debian policy gives private
# libraries, and the programs find them through a RUNPATH relative to their
# own location ($ORIGIN): an install under any prefix works, and lintian
# accepts $ORIGIN run paths.  (Directly in /usr/lib/kestro, CPack would add
# postinst/postrm scripts that call ldconfig, which these libraries do not
# need and lintian warns about.)

set(KESTRO_DIAGNOSTICS hello engine_probe install_probe scale_probe docker_setup_probe)
set(KESTRO_PRIVATE_LIBRARIES kestro_installer lumadex_installer rsa)
set(KESTRO_PROGRAM_DIR lib/kestro)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KESTRO_LIBRARY_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/kestro)
else()
  set(KESTRO_LIBRARY_DIR lib/kestro)
endif()

install(TARGETS bootstrap RUNTIME DESTINATION sbin)
install(TARGETS ${KESTRO_DIAGNOSTICS} RUNTIME DESTINATION ${KESTRO_PROGRAM_DIR})
install(TARGETS ${KESTRO_PRIVATE_LIBRARIES} LIBRARY DESTINATION ${KESTRO_LIBRARY_DIR})
# Each run path leads from the folder the file is installed in to the
# libraries' folder.
file(RELATIVE_PATH from_sbin "/usr/sbin" "/usr/${KESTRO_LIBRARY_DIR}")
file(RELATIVE_PATH from_programs "/usr/${KESTRO_PROGRAM_DIR}" "/usr/${KESTRO_LIBRARY_DIR}")
set_target_properties(bootstrap PROPERTIES INSTALL_RPATH "$ORIGIN/${from_sbin}")
set_target_properties(${KESTRO_DIAGNOSTICS} PROPERTIES INSTALL_RPATH "$ORIGIN/${from_programs}")
set_target_properties(${KESTRO_PRIVATE_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")

# The manual page and the completion script are written from the built
# program's own --help (packaging/gen-docs), so a new command or option shows
# in both without editing either.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(docs_default ON)
else()
  set(docs_default OFF)
endif()
option(KESTRO_DOCS "Build the manual page and the bash completion (needs help2man)" ${docs_default})

set(KESTRO_DOCS_DIR "${PROJECT_BINARY_DIR}/docs")
if(KESTRO_DOCS)
  if(NOT HELP2MAN)
    message(FATAL_ERROR "KESTRO_DOCS is on but help2man is missing (apt-get install help2man)")
  endif()
  add_custom_command(
    OUTPUT "${KESTRO_DOCS_DIR}/bootstrap.8" "${KESTRO_DOCS_DIR}/bootstrap.8.gz"
           "${KESTRO_DOCS_DIR}/bootstrap.bash"
    COMMAND "${PROJECT_SOURCE_DIR}/packaging/gen-docs" "$<TARGET_FILE:bootstrap>"
            "${PROJECT_VERSION}" "${PROJECT_SOURCE_DIR}/packaging/bootstrap.h2m"
            "${KESTRO_DOCS_DIR}"
    DEPENDS bootstrap "${PROJECT_SOURCE_DIR}/packaging/gen-docs"
            "${PROJECT_SOURCE_DIR}/packaging/bootstrap.h2m"
    COMMENT "Writing bootstrap.8 and the bash completion from bootstrap --help"
    VERBATIM)
  add_custom_target(kestro_docs ALL
    DEPENDS "${KESTRO_DOCS_DIR}/bootstrap.8.gz" "${KESTRO_DOCS_DIR}/bootstrap.bash")
  install(FILES "${KESTRO_DOCS_DIR}/bootstrap.8.gz" DESTINATION share/man/man8)
  install(FILES "${KESTRO_DOCS_DIR}/bootstrap.bash"
          DESTINATION share/bash-completion/completions RENAME bootstrap)
endif()

# Debian's documentation files.  The changelog's newest entry must be for the
# project version: a version bump comes with its changelog entry.
set(KESTRO_DEBIAN_VERSION "${PROJECT_VERSION}-1")
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^kestro-bootstrap \\(([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line is not a Debian changelog entry")
elseif(NOT CMAKE_MATCH_1 STREQUAL KESTRO_DEBIAN_VERSION)
  message(FATAL_ERROR "packaging/changelog: the newest entry is for ${CMAKE_MATCH_1}, the "
                      "project is at ${KESTRO_DEBIAN_VERSION}: add an entry for it")
endif()
add_custom_command(
  OUTPUT "${KESTRO_DOCS_DIR}/changelog.Debian.gz"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${KESTRO_DOCS_DIR}"
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" "${PROJECT_SOURCE_DIR}/packaging/changelog"
          "${KESTRO_DOCS_DIR}/changelog.Debian.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog"
  VERBATIM)
add_custom_target(kestro_changelog ALL DEPENDS "${KESTRO_DOCS_DIR}/changelog.Debian.gz")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
              "${KESTRO_DOCS_DIR}/changelog.Debian.gz"
        DESTINATION share/doc/kestro-bootstrap)

install(FILES "${PROJECT_SOURCE_DIR}/packaging/tmpfiles.conf"
        DESTINATION lib/tmpfiles.d RENAME kestro-bootstrap.conf)

# The Debian package.
set(KESTRO_PACKAGE_MAINTAINER "Kestro developers <kestro-dev@lumadex.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestro-bootstrap)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends (libcurl4, libarchive13, ...) comes from the programs'
# and libraries' own links; tools/package checks that it names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "docker.io | docker-ce")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "installer for the lumadex product on a Docker host")
set(CPACK_PACKAGE_DESCRIPTION
"bootstrap installs, updates, scales and removes the lumadex product, a set
of thirteen containerised services, on the local Docker engine, which it
drives over the engine's HTTP API. Before the first install it prepares the
host: it installs Docker through apt when it is missing and raises the
kernel setting vm.max_map_count for the search nodes. It can also check a
host before an install, show the state of every service, write the
services out as a Compose file, and gather a support bundle with secrets
redacted.
.
The package also holds five small diagnostic programs in /usr/lib/kestro.")
include(CPack)
