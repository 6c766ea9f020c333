syskit_add_benchmark(NAME chat_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/chat_bench.cpp
  LIBRARIES verbsplit postbox)
