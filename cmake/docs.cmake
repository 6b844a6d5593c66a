# The tools' man pages and bash completion.  Target `man` writes the pages
# into BUILD/man from the tools' own --help (scripts/make-man.sh, help2man);
# they and the completion install under share/.  Included from
# tools/CMakeLists.txt, once the tools are defined.
include(GNUInstallDirs)
find_program(HELP2MAN help2man)
set(BOARDUTILS_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(man_what_board "look at and change the simulated board")
set(man_what_pinctl "drive and read the board's pins through kestrin")
set(man_what_controlpanel "the Control Panel of the simulated board")
set(man_pages)
set(man_installed)
foreach(tool board pinctl controlpanel)
  set(page ${BOARDUTILS_MAN_DIR}/${tool}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BOARDUTILS_MAN_DIR}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/make-man.sh $<TARGET_FILE:${tool}> ${page} "${man_what_${tool}}"
    DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/scripts/make-man.sh
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "man page ${tool}.1"
    VERBATIM)
  list(APPEND man_pages ${page})
  # Installed compressed, as Debian's policy has man pages; gzip -n: no name
  # or time stamp inside, so the package is the same bytes each time.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -n -9 -c ${page} > ${page}.gz
    DEPENDS ${page})
  list(APPEND man_installed ${page}.gz)
endforeach()
if(HELP2MAN)
  add_custom_target(man ALL DEPENDS ${man_pages} ${man_installed})
  install(FILES ${man_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man pages (scripts/install-deps.sh installs it)")
endif()
# One completion file serves the three tools; bash loads it by the name typed.
foreach(tool board pinctl controlpanel)
  install(FILES ${CMAKE_SOURCE_DIR}/scripts/completion/boardutils.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
endforeach()
