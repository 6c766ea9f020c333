# The parallel command runner: the library in-process and in forked children, and the front end
# as a program (found through SYSKIT_BIN_DIR, so it must be built first).
syskit_add_gtest(NAME fanrun_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp
  LIBRARIES fanrun)
add_dependencies(fanrun_test fanrun_cli)
