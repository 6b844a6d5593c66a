# The project's version, one value for --version, the package and the bundle.
# Built from a checkout, `git describe` names the commit (a tag when there
# is one); elsewhere (an unpacked bundle) it is PROJECT_VERSION.
set(BOARDUTILS_VERSION "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
    OUTPUT_VARIABLE _described OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _described_rc ERROR_QUIET)
  if(_described_rc EQUAL 0 AND _described)
    # An untagged commit describes as its hash alone, which may start with a
    # digit: only a dotted number is a tag's version.
    if(_described MATCHES "^v?[0-9]+\\.[0-9]")
      string(REGEX REPLACE "^v" "" BOARDUTILS_VERSION "${_described}")
    else()
      set(BOARDUTILS_VERSION "${PROJECT_VERSION}+g${_described}")
    endif()
  endif()
endif()
# A new commit configures again, or a kept build folder would pack the
# version of the commit it was configured at (not when run as a script, at
# build time: that writes the tools' version file alone).
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git" AND NOT CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" symbolic-ref -q HEAD
                  WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE _head_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  foreach(_name HEAD ${_head_ref} packed-refs)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --git-path ${_name}
                    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                    OUTPUT_VARIABLE _file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    get_filename_component(_file "${_file}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    if(_file AND EXISTS "${_file}")
      set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_file}")
    endif()
  endforeach()
endif()
if(NOT CMAKE_SCRIPT_MODE_FILE)
  message(STATUS "boardutils version ${BOARDUTILS_VERSION}")
endif()
