# The job log unit in process, built from its source without the rest of the front end.
syskit_add_gtest(NAME fanrun_joblog_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_joblog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp ${PROJECT_SOURCE_DIR}/assignments/a3/cli/joblog.cpp)
target_include_directories(fanrun_joblog_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli)

# The template reader and quoting in process, built from their source alone.
syskit_add_gtest(NAME fanrun_quote_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_quote_test.cpp
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli/quote.cpp)
target_include_directories(fanrun_quote_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli)

# The command builder in process, built from its source and what it counts with.
syskit_add_gtest(NAME fanrun_builder_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_builder_test.cpp
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli/builder.cpp ${PROJECT_SOURCE_DIR}/assignments/a3/cli/exec.cpp
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli/quote.cpp)
target_include_directories(fanrun_builder_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3
  ${PROJECT_SOURCE_DIR}/assignments/a3/cli)

# The front end run as a program, end to end (not in builds that leave such tests out).
if(SYSKIT_PROGRAM_TESTS)
  # The runner's command-line front end as a program (found through SYSKIT_BIN_DIR, so it must be
  # built first), with its manual page and bash completion from the source folder.
  syskit_add_gtest(NAME fanrun_main_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_main_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp)
  target_compile_definitions(fanrun_main_test PRIVATE
    FANRUN_SOURCE_DIR="${PROJECT_SOURCE_DIR}/assignments/a3")
  add_dependencies(fanrun_main_test fanrun_cli)
  # Preloaded by the tests that need a moment of the run held open.
  add_library(fanrun_shim MODULE ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_shim.cpp)
  target_link_libraries(fanrun_shim PRIVATE ${CMAKE_DL_LIBS})
  if(SYSKIT_SANITIZE)
    # Preloaded ahead of the sanitizer's runtime, it must not need it.
    target_compile_options(fanrun_shim PRIVATE -fno-sanitize=all)
    target_link_options(fanrun_shim PRIVATE -fno-sanitize=all)
  endif()
  target_compile_definitions(fanrun_main_test PRIVATE FANRUN_SHIM="$<TARGET_FILE:fanrun_shim>")
  add_dependencies(fanrun_main_test fanrun_shim)

  # The semaphore across independent invocations of the front end.
  syskit_add_gtest(NAME fanrun_semaphore_test LABEL program SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_semaphore_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp)
  add_dependencies(fanrun_semaphore_test fanrun_cli fanrun_shim)
  target_compile_definitions(fanrun_semaphore_test PRIVATE FANRUN_SHIM="$<TARGET_FILE:fanrun_shim>")

  # Lines as they come (--line-buffer, --latest-line), -v, --tagstring and --bar.
  syskit_add_gtest(NAME fanrun_lines_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_lines_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp)
  add_dependencies(fanrun_lines_test fanrun_cli)

  # --results: the folder names in process, and the sink through the front end as a program.
  syskit_add_gtest(NAME fanrun_results_test LABEL program SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_results_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli/results.cpp
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli/io.cpp)
  target_include_directories(fanrun_results_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3/cli)
  add_dependencies(fanrun_results_test fanrun_cli)

  # Remote hosts: the host lists and the remote quoting in process, and whole runs over real sshd
  # hosts on loopback addresses that the tests start themselves (tests/ssh/hosts.sh).
  syskit_add_gtest(NAME fanrun_remote_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_remote_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp ${PROJECT_SOURCE_DIR}/assignments/a3/cli/remote.cpp)
  target_include_directories(fanrun_remote_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli)
  target_compile_definitions(fanrun_remote_test PRIVATE
    FANRUN_SOURCE_DIR="${PROJECT_SOURCE_DIR}/assignments/a3"
    FANRUN_HOSTS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/ssh/hosts.sh")
  add_dependencies(fanrun_remote_test fanrun_cli)

  # Files to and from remote hosts, their working directories and variables, --onall and
  # --nonall: the routes in process, whole runs over real sshd hosts (tests/ssh/hosts.sh).
  syskit_add_gtest(NAME fanrun_transfer_test LABEL program SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_transfer_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli/transfer.cpp ${PROJECT_SOURCE_DIR}/assignments/a3/cli/remote.cpp)
  target_include_directories(fanrun_transfer_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli)
  target_compile_definitions(fanrun_transfer_test PRIVATE
    FANRUN_SOURCE_DIR="${PROJECT_SOURCE_DIR}/assignments/a3"
    FANRUN_HOSTS_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/ssh/hosts.sh")
  add_dependencies(fanrun_transfer_test fanrun_cli)
  # --slurm: the allocation's formats and a step's words in process; whole runs on a real cluster
  # are tests/slurm/steps_test.sh (tests/slurm.cmake).
  syskit_add_gtest(NAME fanrun_slurm_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_slurm_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp
    ${PROJECT_SOURCE_DIR}/assignments/a3/cli/slurm.cpp ${PROJECT_SOURCE_DIR}/assignments/a3/cli/remote.cpp)
  target_include_directories(fanrun_slurm_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a3/cli)
  add_dependencies(fanrun_slurm_test fanrun_cli)

  # Sweeps: several sources, their product, positional strings and tables, through the program.
  syskit_add_gtest(NAME fanrun_sweep_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_sweep_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp)
  target_compile_definitions(fanrun_sweep_test PRIVATE
    FANRUN_SOURCE_DIR="${PROJECT_SOURCE_DIR}/assignments/a3")
  add_dependencies(fanrun_sweep_test fanrun_cli)

  # --pipe and --pipe-part through the front end as a program.
  syskit_add_gtest(NAME fanrun_pipe_test LABEL program SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_pipe_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_run.cpp)
  add_dependencies(fanrun_pipe_test fanrun_cli)
endif()
