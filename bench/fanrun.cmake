# The runner's benchmark is a whole-process timing script (fanrun_bench.sh); this builds the floor
# program it compares the runner with, next to the runner in <build>/bin.
add_executable(fanrun_floor ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_floor.cpp)
