# Windows x64, cross-built with MinGW-w64 and tested under wine. The
# posix-threads variant of the compiler, since GoogleTest uses std::thread
# and std::mutex; everything is linked statically so that the programs need
# no MinGW DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest and gtest_discover_tests start the test programs through wine; the
# test programs, being Windows programs themselves, start the tool directly.
find_program(BRAVIK_WINE_PATH wine)
if(NOT BRAVIK_WINE_PATH)
  message(FATAL_ERROR "wine not found: install wine64")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRAVIK_WINE_PATH})
