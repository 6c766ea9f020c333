# Helpers shared by every module folder: one call declares a library module or a program together
# with its install rules, its pkg-config file and its place in the exported CMake package.

include(CMakePackageConfigHelpers)

set(SYSKIT_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(SYSKIT_CXX_RUNTIME stdc++ CACHE STRING
  "The C++ runtime library a C program adds when it links a static syskit library")

# syskit_add_library(NAME <name> SOURCE <file.cpp> HEADERS <header>... DESCRIPTION <text>)
# Builds lib<name> from one source file; its folder is the public include folder.
function(syskit_add_library)
  cmake_parse_arguments(ARG "" "NAME;SOURCE;DESCRIPTION" "HEADERS" ${ARGN})
  add_library(${ARG_NAME} ${ARG_SOURCE} ${ARG_HEADERS})
  add_library(syskit::${ARG_NAME} ALIAS ${ARG_NAME})
  target_include_directories(${ARG_NAME} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${ARG_NAME} PROPERTIES
    PUBLIC_HEADER "${ARG_HEADERS}"
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # A C program links a static archive with its C compiler, which leaves out the C++ runtime that
  # the module's code needs; a C++ program links it through its own compiler driver anyway.
  get_target_property(_type ${ARG_NAME} TYPE)
  if(_type STREQUAL "STATIC_LIBRARY")
    target_link_libraries(${ARG_NAME} INTERFACE "$<$<NOT:$<LINK_LANGUAGE:CXX>>:${SYSKIT_CXX_RUNTIME}>")
    # With no shared object to name the runtime, "pkg-config --libs" has to, not only --static.
    set(SYSKIT_PC_LIBS "-l${ARG_NAME} -l${SYSKIT_CXX_RUNTIME}")
    set(SYSKIT_PC_LIBS_PRIVATE "")
  else()
    set(SYSKIT_PC_LIBS "-l${ARG_NAME}")
    set(SYSKIT_PC_LIBS_PRIVATE "-l${SYSKIT_CXX_RUNTIME}")
  endif()
  set(SYSKIT_PC_NAME "${ARG_NAME}")
  file(RELATIVE_PATH SYSKIT_PC_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  set(SYSKIT_PC_DESCRIPTION "${ARG_DESCRIPTION}")
  configure_file("${SYSKIT_CMAKE_DIR}/module.pc.in" "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.pc" @ONLY)
  # The shared object goes with the programs; what only a build needs (headers, archives, the
  # unversioned link name, pkg-config and CMake files) goes to the development package.
  install(TARGETS ${ARG_NAME} EXPORT syskitTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.pc"
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endfunction()

# syskit_add_program(NAME <name> SOURCES <file>... [LIBRARIES <target>...])
function(syskit_add_program)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  if(ARG_LIBRARIES)
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES})
  endif()
  install(TARGETS ${ARG_NAME} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

# The CMake package: find_package(syskit) gives syskit::<module> for every library module.
function(syskit_install_package)
  set(dest ${CMAKE_INSTALL_LIBDIR}/cmake/syskit)
  install(EXPORT syskitTargets NAMESPACE syskit:: DESTINATION ${dest} COMPONENT dev)
  configure_package_config_file("${SYSKIT_CMAKE_DIR}/syskitConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/syskitConfig.cmake" INSTALL_DESTINATION ${dest})
  write_basic_package_version_file("${PROJECT_BINARY_DIR}/syskitConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
  install(FILES "${PROJECT_BINARY_DIR}/syskitConfig.cmake" "${PROJECT_BINARY_DIR}/syskitConfigVersion.cmake"
    DESTINATION ${dest} COMPONENT dev)
endfunction()

# Includes every *.cmake fragment beside the calling CMakeLists.txt, in name order: each module
# keeps its tests, benchmarks and fuzz targets in a fragment of its own.
macro(syskit_include_fragments)
  file(GLOB _syskit_fragments CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cmake")
  list(SORT _syskit_fragments)
  foreach(_syskit_fragment IN LISTS _syskit_fragments)
    include(${_syskit_fragment})
  endforeach()
endmacro()
