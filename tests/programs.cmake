# Tests of the five programs and the palindrome module.
#
# The list programs, tallyflow and corecount are also built as test variants from their own
# sources, linked with -Wl,--wrap so that an allocation, fork or the processor query can be made to
# fail on demand. They live outside bin/ and are never installed.
set(programs_variant_dir "${CMAKE_CURRENT_BINARY_DIR}/program-variants")

function(programs_variant name source support)
  add_executable(${name} ${source} ${CMAKE_CURRENT_SOURCE_DIR}/${support})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${programs_variant_dir}")
  target_link_options(${name} PRIVATE ${ARGN})
endfunction()

set(programs_wrap_alloc -Wl,--wrap=malloc -Wl,--wrap=free)
programs_variant(countwalk_failalloc ${PROJECT_SOURCE_DIR}/labs/lab06/countwalk.cpp
  programs_failalloc.cpp ${programs_wrap_alloc})
programs_variant(endwalk_failalloc ${PROJECT_SOURCE_DIR}/labs/lab06/endwalk.cpp
  programs_failalloc.cpp ${programs_wrap_alloc})
programs_variant(tallyflow_failfork ${PROJECT_SOURCE_DIR}/process-demos/tallyflow.cpp
  programs_failfork.cpp -Wl,--wrap=fork)
programs_variant(corecount_fakeonline ${PROJECT_SOURCE_DIR}/process-demos/corecount.cpp
  programs_fakesysconf.cpp -Wl,--wrap=sysconf)

# One test binary per program. The list and pipe tests compile the program's source into the test
# (its main renamed) to reach create_list, print_list and the pipe halves directly.
function(programs_test name folder)
  syskit_add_gtest(NAME ${name}_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/programs_run.cpp
            ${ARGN})
  target_include_directories(${name}_test PRIVATE ${PROJECT_SOURCE_DIR}/${folder})
  target_compile_definitions(${name}_test PRIVATE
    SYSKIT_VARIANT_DIR="${programs_variant_dir}" SYSKIT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endfunction()

programs_test(countwalk labs/lab06 ${CMAKE_CURRENT_SOURCE_DIR}/programs_failalloc.cpp)
target_link_options(countwalk_test PRIVATE ${programs_wrap_alloc})
programs_test(endwalk labs/lab06 ${CMAKE_CURRENT_SOURCE_DIR}/programs_failalloc.cpp)
target_link_options(endwalk_test PRIVATE ${programs_wrap_alloc})
programs_test(twinnumber labs/lab06)
programs_test(tallyflow process-demos)
programs_test(corecount process-demos)

syskit_add_gtest(NAME mirrortest_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mirrortest_test.cpp
  LIBRARIES syskit::mirrortest)

# Memory errors and leaks of the programs themselves, child processes included. The sanitized
# build checks the same through LeakSanitizer, and valgrind cannot run sanitized programs.
if(NOT SYSKIT_SANITIZE)
  foreach(program countwalk endwalk twinnumber tallyflow corecount)
    syskit_add_valgrind_test(NAME ${program}.valgrind COMMAND $<TARGET_FILE:${program}>)
  endforeach()
endif()
