# Finds GoogleTest for the target. A cross build finds none installed for
# its target, so it builds one from the sources that Debian's googletest
# package installs (nothing is downloaded), in a binary directory of its own,
# under the same GTest::gtest and GTest::gtest_main names the installed
# package gives. Sets GTest_FOUND either way.
find_package(GTest)
set(BRAVIK_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources for cross builds")
if(NOT GTest_FOUND AND CMAKE_CROSSCOMPILING
   AND EXISTS ${BRAVIK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BRAVIK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL SYSTEM)
  # Its own warnings (GCC 12 flags a false overlap in libstdc++) are not ours.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  # Recent GoogleTest releases define these names themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(GTest_FOUND TRUE)
  message(STATUS "GoogleTest built from ${BRAVIK_GTEST_SOURCE_DIR}")
endif()
