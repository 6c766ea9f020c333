# The keyed table against std::map, with long keys and direct rebuilds.
set(_keyshelf_dir ${PROJECT_SOURCE_DIR}/assignments/a2/q4)
syskit_add_fuzzer(NAME keyshelf_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keyshelf_fuzz.cpp ${_keyshelf_dir}/keyshelf.cpp
  INCLUDES ${_keyshelf_dir})
