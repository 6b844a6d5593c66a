# The Debian package of the host tools (cpack -G DEB, `make deb`): what
# cmake/install.cmake installs under /usr, stripped, its dependencies found
# by dpkg-shlibdeps, with the copyright file and changelog Debian asks for.
set(BOARDUTILS_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/boardutils)
# A native package's version has no '-' (git describe's 1.0-3-gHASH-dirty
# becomes 1.0+3+gHASH+dirty): one that had would want a Debian revision.
string(REPLACE "-" "+" BOARDUTILS_DEB_VERSION "${BOARDUTILS_VERSION}")

# The changelog's date is the commit's, so one commit packs one changelog.
set(_changelog_date "Thu, 01 Jan 1970 00:00:00 +0000")
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%cD
                  WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE _changelog_date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(BOARDUTILS_MAINTAINER "maintainers <maintainers@users.noreply.c-seed-a6cde0ff.example>")
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
# gzip -n: no name or time stamp in the compressed file.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.gz
                   COMMAND gzip -n -9 -c ${CMAKE_BINARY_DIR}/deb/changelog > ${CMAKE_BINARY_DIR}/deb/changelog.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog VERBATIM)
add_custom_target(deb_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
        DESTINATION ${BOARDUTILS_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME boardutils)
set(CPACK_PACKAGE_VERSION ${BOARDUTILS_DEB_VERSION})
set(CPACK_PACKAGE_CONTACT "${BOARDUTILS_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulated GPIO board and its tools for the board-support utilities")
set(CPACK_PACKAGE_DESCRIPTION "The board-support utilities of an ARM board, built for a Linux host: the
GPIO library kestrin, the three Control Panel applets and the start-up
program run against a simulated board. board looks at and changes the
board, pinctl sets and reads its pins through kestrin, and controlpanel
is the board's Control Panel in a terminal.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The private libraries of the package itself are no dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_PREFIX}/${BOARDUTILS_LIBDIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
include(CPack)
