# Debian packages from the install rules, split as Debian splits a library: `cpack -G DEB` in a
# build folder writes syskit_<version>_<arch>.deb (the shared libraries, the programs, the manual
# page and the bash completion) and syskit-dev_<version>_<arch>.deb (headers, archives, the link
# names, the pkg-config and CMake package files), which depends on the first at the same version.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME syskit)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "syskit developers <syskit@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME syskit)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
# Both packages take the project's description as their summary line; these are the long ones.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "A keyed table (keyshelf), a parallel command runner with its
command-line front end (fanrun), a chat-line parser (verbsplit) and message
queue (postbox), a palindrome predicate (mirrortest), and five small
programs that show lists, the call stack, pipes and processes at work.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME syskit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Development files of the syskit libraries: C11 and C++ headers, link
names or static archives, pkg-config files and the CMake package
(find_package(syskit)).")

# The C and C++ runtime dependencies come from dpkg-shlibdeps; the runner's children run
# /bin/bash, which every Debian system has (bash is essential), so it is not declared.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file lets packages built against these libraries find their dependency the same way.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
if(NOT BUILD_SHARED_LIBS)
  # Archives are linked by whoever builds against them, so the development package needs a C++
  # runtime to link with; the programs already hold their copy of the libraries.
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS libstdc++-dev)
endif()

include(CPack)
