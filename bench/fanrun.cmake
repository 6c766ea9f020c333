# The runner's benchmarks: fanrun_bench.sh and fanrun_scale.sh time whole runs (this builds the
# floor program they compare the runner with, next to the runner in <build>/bin), and
# fanrun_table_bench the table's bookkeeping alone.
add_executable(fanrun_floor ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_floor.cpp)
if(TARGET fanrun)
  syskit_add_benchmark(NAME fanrun_table_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_table_bench.cpp
    LIBRARIES syskit::fanrun)
endif()
