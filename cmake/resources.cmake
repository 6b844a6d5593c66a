# Resources of product modules: product_resources(target rcfile).
#
# Desktop Windows: the script is a source of the target, compiled by the
# toolchain's resource compiler and linked into the binary's resource section.
#
# Host: the script is preprocessed (with the C compiler's preprocessor and the
# stand-in's platform/host/rc/windows.h in place of the platform's), compiled
# by llvm-rc into a binary .res, the platform's own resource format, and the
# .res bytes are embedded in the target as the array host_embedded_resources.
# The module anchor (platform/host/module_anchor.cpp) hands them to the
# stand-in when the module loads; GetModuleHandleW, FindResourceW,
# LoadStringW, LoadIconW then find them through the module's handle.
#
# A script includes "resource.h" from its own folder and may include
# <windows.h>; only #define lines may come from included headers.  Icon and
# bitmap files are named relative to the script's folder.

if(WIN32)
  enable_language(RC)
else()
  find_program(LLVM_RC NAMES llvm-rc llvm-rc-16 llvm-rc-15 llvm-rc-14 llvm-rc-13 REQUIRED)
endif()

set(HOST_RC_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/../platform/host/rc)
set(HOST_MODULE_ANCHOR ${CMAKE_CURRENT_LIST_DIR}/../platform/host/module_anchor.cpp)
set(EMBED_RESOURCES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_resources.cmake)

# Host: registers the module with the stand-in when it loads (once per target).
function(host_module_anchor target)
  if(WIN32)
    return()
  endif()
  get_target_property(has_anchor ${target} HOST_MODULE_ANCHOR)
  if(has_anchor)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    return()
  endif()
  set_target_properties(${target} PROPERTIES HOST_MODULE_ANCHOR ON)
  target_sources(${target} PRIVATE ${HOST_MODULE_ANCHOR})
  target_link_libraries(${target} PRIVATE ceplat)
endfunction()

function(product_resources target rcfile)
  get_filename_component(rc ${rcfile} ABSOLUTE)
  get_filename_component(rc_dir ${rc} DIRECTORY)
  if(WIN32)
    # The caption OK button is the board's own extended style: the board's
    # windows.h has it, the desktop's does not, and no C++ of the product
    # needs it, so only the resource scripts get it, here.
    set_source_files_properties(${rc} PROPERTIES COMPILE_DEFINITIONS "WS_EX_CAPTIONOKBTN=0x80000000L"
                                COMPILE_OPTIONS "-c;65001")
    target_sources(${target} PRIVATE ${rc})
    target_include_directories(${target} PRIVATE ${rc_dir})
    return()
  endif()

  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.res.d)
  set(pre ${out}/${target}.rc.i)
  set(res ${out}/${target}.res)
  set(cpp ${out}/${target}_res.cpp)
  file(GLOB deps ${rc_dir}/*.h ${rc_dir}/*.ico ${rc_dir}/*.bmp ${rc_dir}/*.cur ${HOST_RC_INCLUDE}/*.h)
  add_custom_command(
    OUTPUT ${res} ${cpp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${CMAKE_C_COMPILER} -E -P -x c -undef -nostdinc -DRC_INVOKED -D_HOST_RC
            -I${rc_dir} -I${HOST_RC_INCLUDE} -I${CMAKE_SOURCE_DIR} ${rc} -o ${pre}
    # "--" ends the options: llvm-rc reads a leading "/" as an option prefix,
    # so an input under /c... would otherwise be taken for /C (code page).
    COMMAND ${LLVM_RC} /no-preprocess /C 65001 /I ${rc_dir} /FO ${res} -- ${pre}
    COMMAND ${CMAKE_COMMAND} -DRES=${res} -DOUT=${cpp} -P ${EMBED_RESOURCES_SCRIPT}
    WORKING_DIRECTORY ${rc_dir}
    DEPENDS ${rc} ${deps} ${EMBED_RESOURCES_SCRIPT}
    COMMENT "Compiling resources ${rcfile} of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${cpp})
  host_module_anchor(${target})
endfunction()
