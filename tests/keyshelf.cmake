# The keyed table: the library as callers link it, and the module compiled in with malloc, realloc
# and free wrapped at link time so that a test can fail any one allocation and count leftovers.
if(TARGET keyshelf)
  syskit_add_gtest(NAME keyshelf_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keyshelf_test.cpp
    LIBRARIES syskit::keyshelf)

  syskit_add_gtest(NAME keyshelf_faults_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/keyshelf_test.cpp
            ${PROJECT_SOURCE_DIR}/assignments/a2/q4/keyshelf.cpp)
  target_include_directories(keyshelf_faults_test PRIVATE ${PROJECT_SOURCE_DIR}/assignments/a2/q4)
  target_compile_definitions(keyshelf_faults_test PRIVATE KEYSHELF_FAULTS)
  target_link_options(keyshelf_faults_test PRIVATE
    -Wl,--wrap=malloc,--wrap=realloc,--wrap=free)
endif()
