# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu, libc6-dev-arm64-cross). Tests run through qemu-user
# where it is installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELQO_TARGET_ROOT /usr/aarch64-linux-gnu)

set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH ${VELQO_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VELQO_QEMU_AARCH64 qemu-aarch64)
if(VELQO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELQO_QEMU_AARCH64} -L ${VELQO_TARGET_ROOT})
endif()
