# The runner's benchmarks: fanrun_bench.sh and fanrun_scale.sh time whole runs (this builds the
# floor program they compare the runner with, next to the runner in <build>/bin), fanrun_memory.sh
# measures the runner's own peak memory, and fanrun_table_bench the table's bookkeeping alone.
add_executable(fanrun_floor ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_floor.cpp)
if(TARGET fanrun)
  syskit_add_benchmark(NAME fanrun_table_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_table_bench.cpp
    LIBRARIES syskit::fanrun)
endif()
# fanrun_memory.sh takes no rounds, so the *_bench.sh smoke runs do not cover it: its smoke run is
# its quick mode, which also fails when a dry run of 1e6 arguments peaks at 16 MiB or more.
if(TARGET fanrun_cli AND SYSKIT_BUILD_TESTS)
  add_test(NAME fanrun_memory.smoke
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/fanrun_memory.sh" --quick "${PROJECT_BINARY_DIR}")
  set_tests_properties(fanrun_memory.smoke PROPERTIES TIMEOUT 300 RUN_SERIAL ON)
endif()
