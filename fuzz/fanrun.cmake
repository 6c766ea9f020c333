# Everything that builds the runner's commands (template reading and quoting, the words form,
# --raw, createCommand) against a model of bash's word reading.
set(_fanrun_dir ${PROJECT_SOURCE_DIR}/assignments/a3)
syskit_add_fuzzer(NAME fanrun_quote_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_quote_fuzz.cpp ${_fanrun_dir}/cli/quote.cpp
  ${_fanrun_dir}/cli/options.cpp ${_fanrun_dir}/cli/sources.cpp ${_fanrun_dir}/cli/source.cpp
  ${_fanrun_dir}/cli/pacing.cpp ${_fanrun_dir}/cli/halting.cpp ${_fanrun_dir}/cli/records.cpp
  ${_fanrun_dir}/fanrun.cpp
  INCLUDES ${_fanrun_dir} ${_fanrun_dir}/cli)

# The quoting for a remote host's login shell (-S) against a model of a POSIX shell's reading.
syskit_add_fuzzer(NAME fanrun_remote_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_remote_fuzz.cpp ${_fanrun_dir}/cli/remote.cpp
  INCLUDES ${_fanrun_dir} ${_fanrun_dir}/cli)

# The record cutter of --pipe: blocks concatenate to the input and end at record ends.
syskit_add_fuzzer(NAME fanrun_records_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fanrun_records_fuzz.cpp ${_fanrun_dir}/cli/records.cpp
  INCLUDES ${_fanrun_dir}/cli)
