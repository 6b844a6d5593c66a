include(${CMAKE_CURRENT_LIST_DIR}/resources.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/applet.cmake)

# Product code (what runs on the board) builds at the board compiler's
# language level.  On desktop Windows that is gnu++98 with every warning an
# error; on the host C++11, which the stand-in's 16-bit characters need.
# Product code reaches nothing but the platform: CE_PRODUCT_CODE makes the
# board's headers and the host helpers refuse to be included, and on the
# host a module links with no symbol left undefined, so a call into the
# board (which only the stand-in links) fails the link.
function(product_target target)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE CE_PRODUCT_CODE)
  if(WIN32)
    set_target_properties(${target} PROPERTIES CXX_STANDARD 98 CXX_EXTENSIONS ON)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Os -fno-exceptions -fno-rtti
                           -fno-asynchronous-unwind-tables)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
    # No time stamp in the PE header and no path of the checkout inside
    # (__FILE__): one commit builds the same bytes in any folder.
    target_compile_options(${target} PRIVATE -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
    target_link_options(${target} PRIVATE -s -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
  else()
    set_target_properties(${target} PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    target_link_libraries(${target} PRIVATE ceplat)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    host_module_anchor(${target})
  endif()
endfunction()

# The structured-handler helpers on desktop Windows, linked into each
# product binary that uses them, and the served board's GPI1: (a library,
# so a binary that opens no driver takes none of it).
function(product_guard target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/win32/guard.cpp)
    product_served(${target})
  endif()
endfunction()

function(product_served target)
  if(NOT TARGET win32_served)
    add_library(win32_served STATIC ${CMAKE_SOURCE_DIR}/platform/win32/served.cpp)
    product_target(win32_served)
  endif()
  target_link_libraries(${target} PRIVATE win32_served ws2_32)
endfunction()

# A program of the device's own.  On the host it lands in bin/device, apart
# from the tools, tests and benchmarks in bin: `board boot` runs a shortcut's
# \Windows\NAME.exe from there only, so no shortcut can start a test or a
# tool as if it were a device program.  Desktop Windows keeps the product
# together in bin.
function(device_program target)
  if(NOT WIN32)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/device)
  endif()
endfunction()
