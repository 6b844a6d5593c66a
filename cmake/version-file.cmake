# Run at each build (cmake -P): writes the tools' version file when the
# version changed, so that a new commit recompiles one file and relinks the
# tools, and --version never tells an older commit's version.
# In: PROJECT_VERSION, IN, OUT; run in the source folder.
include("${CMAKE_CURRENT_LIST_DIR}/version.cmake")
configure_file("${IN}" "${OUT}" @ONLY)
