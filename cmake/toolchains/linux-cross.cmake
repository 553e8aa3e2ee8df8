# The part every Linux cross toolchain here shares. The including file sets
# BRAVIK_CROSS_TRIPLE (the GNU target triple of Debian's cross compiler) and
# BRAVIK_CROSS_EMULATOR (qemu's user-mode emulator for that processor).
#
# Everything is linked statically, so the emulator runs the programs without
# a sysroot; ctest and gtest_discover_tests start them through
# CMAKE_CROSSCOMPILING_EMULATOR, and the process tests start the tool through
# it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${BRAVIK_CROSS_TRIPLE}-g++)
# GoogleTest's own project enables C as well.
set(CMAKE_C_COMPILER ${BRAVIK_CROSS_TRIPLE}-gcc)

# Libraries, headers and CMake packages come from the target's own tree
# only: the host's GoogleTest or Google Benchmark would not link.
set(CMAKE_FIND_ROOT_PATH /usr/${BRAVIK_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

find_program(BRAVIK_EMULATOR_PATH ${BRAVIK_CROSS_EMULATOR})
if(NOT BRAVIK_EMULATOR_PATH)
  message(FATAL_ERROR
          "${BRAVIK_CROSS_EMULATOR} not found: install qemu-user-static")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRAVIK_EMULATOR_PATH})
