# IBM Z Linux, run under qemu: the big-endian platform, where any field read
# or word written in the processor's own byte order comes out wrong.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(BRAVIK_CROSS_TRIPLE s390x-linux-gnu)
set(BRAVIK_CROSS_EMULATOR qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
