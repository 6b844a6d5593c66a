# Install rules of the host build: the tools in bin/, the project's
# libraries and the applets in lib/<multiarch>/boardutils (GNUInstallDirs;
# the multiarch part when the prefix is /usr), the device's programs in its
# device/.  Every file finds the others by a path relative to itself
# ($ORIGIN), so the installed tree works wherever it is put, and nothing
# points into the build folder.  The tools find the applets and the
# device's programs in the folder cecommon is loaded from (self_path).
include(GNUInstallDirs)
set(BOARDUTILS_LIBDIR ${CMAKE_INSTALL_LIBDIR}/boardutils)
file(RELATIVE_PATH _tools_to_libs /${CMAKE_INSTALL_BINDIR} /${BOARDUTILS_LIBDIR})

set(BOARDUTILS_TOOLS board pinctl controlpanel)
set(BOARDUTILS_LIBRARIES cecommon ceboard ceplat kestrin Pinvane Dovrel Hemlark)
set(BOARDUTILS_DEVICE_PROGRAMS Velmorra)

set_target_properties(${BOARDUTILS_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/${_tools_to_libs}")
set_target_properties(${BOARDUTILS_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(${BOARDUTILS_DEVICE_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(TARGETS ${BOARDUTILS_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${BOARDUTILS_LIBRARIES} LIBRARY DESTINATION ${BOARDUTILS_LIBDIR})
install(TARGETS ${BOARDUTILS_DEVICE_PROGRAMS} RUNTIME DESTINATION ${BOARDUTILS_LIBDIR}/device)
