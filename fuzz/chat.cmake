set(_chat_dir ${PROJECT_SOURCE_DIR}/assignments/a4/q3)
syskit_add_fuzzer(NAME verbsplit_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/verbsplit_fuzz.cpp ${_chat_dir}/verbsplit.cpp
  INCLUDES ${_chat_dir})
syskit_add_fuzzer(NAME postbox_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/postbox_fuzz.cpp ${_chat_dir}/postbox.cpp
  INCLUDES ${_chat_dir})
