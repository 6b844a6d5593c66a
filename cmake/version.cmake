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
    # An untagged commit describes as its hash alone (which may start with a
    # digit): keep the number first.
    if(_described MATCHES "^v?[0-9]+\\.[0-9]")
      string(REGEX REPLACE "^v" "" BOARDUTILS_VERSION "${_described}")
    else()
      set(BOARDUTILS_VERSION "${PROJECT_VERSION}+g${_described}")
    endif()
  endif()
endif()
message(STATUS "boardutils version ${BOARDUTILS_VERSION}")
