# applet_test(<test> <Applet> src...): a GoogleTest program that loads
# <Applet>.cpl from the build's bin folder (APPLET_DIR) and drives its dialog
# through the window system, with the shared test support and the dialog
# template reader.
function(applet_test test applet)
  add_executable(${test} ${ARGN})
  target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${test} PRIVATE test_support test_dialog_template ceplat ceboard GTest::gtest_main dl)
  target_compile_definitions(${test} PRIVATE APPLET_DIR="$<TARGET_FILE_DIR:${applet}>")
  add_dependencies(${test} ${applet})
endfunction()
