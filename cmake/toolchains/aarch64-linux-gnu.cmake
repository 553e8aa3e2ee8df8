# 64-bit ARM Linux, run under qemu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BRAVIK_CROSS_TRIPLE aarch64-linux-gnu)
set(BRAVIK_CROSS_EMULATOR qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
