# The keyed table against std::unordered_map: insert, hit and miss lookups, delete, 1e3 to 1e6 keys.
if(TARGET keyshelf)
  syskit_add_benchmark(NAME keyshelf_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keyshelf_bench.cpp
    LIBRARIES syskit::keyshelf)
endif()

# One fill of one key shape per process, for peak memory; bench/keyshelf_shapes.sh runs them.
if(TARGET keyshelf)
  add_executable(keyshelf_shapes ${CMAKE_CURRENT_SOURCE_DIR}/keyshelf_shapes.cpp)
  target_link_libraries(keyshelf_shapes PRIVATE syskit::keyshelf)
endif()
