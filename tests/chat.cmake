syskit_add_gtest(NAME verbsplit_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/verbsplit_test.cpp
  LIBRARIES verbsplit)
syskit_add_gtest(NAME postbox_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/postbox_test.cpp
  LIBRARIES postbox)
