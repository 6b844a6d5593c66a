# add_applet(<Name> SOURCES src... [RC script.rc] [DEF exports.def] [LIBRARIES lib...])
#
# One Control Panel applet: the shared library <Name>.cpl (host and desktop
# Windows alike) built from the applet's sources and the shared frame
# (applets/frame/frame.cpp, which exports CPlApplet), its resources compiled
# in (product_resources), at the product language level (product_target)
# with the structured-handler helpers (product_guard).  On Windows the
# export list is DEF, or the frame's own (EXPORTS CPlApplet); on the host
# only CPlApplet is exported.  The module registers with the stand-in as
# "<Name>.cpl".
set(APPLET_FRAME_DIR ${CMAKE_CURRENT_LIST_DIR}/../applets/frame)

function(add_applet name)
  cmake_parse_arguments(APPLET "" "RC;DEF" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${name} SHARED ${APPLET_SOURCES} ${APPLET_FRAME_DIR}/frame.cpp)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".cpl" OUTPUT_NAME ${name})
  product_target(${name})
  product_guard(${name})
  if(APPLET_RC)
    product_resources(${name} ${APPLET_RC})
  endif()
  if(APPLET_LIBRARIES)
    target_link_libraries(${name} PRIVATE ${APPLET_LIBRARIES})
  endif()
  if(WIN32)
    if(APPLET_DEF)
      get_filename_component(def ${APPLET_DEF} ABSOLUTE)
    else()
      set(def ${APPLET_FRAME_DIR}/applet.def)
    endif()
    target_sources(${name} PRIVATE ${def})
  else()
    target_compile_options(${name} PRIVATE -fvisibility=hidden)
  endif()
endfunction()
