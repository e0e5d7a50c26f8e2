# Cross build for the router's processor: 32-bit big-endian MIPS with Debian's
# mips-linux-gnu compilers (g++-mips-linux-gnu); programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)
set(APCTL_CROSS_SYSROOT /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${APCTL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The router's programs are not position-independent (Debian's compiler makes
# PIE by default) and call shared libraries through PLT entries, which is
# shorter than going through the GOT. Shared objects still get -fPIC: it comes
# after these when compiling, and in their link flags for link-time
# optimisation, which compiles again with the flags of the link line.
# 64-bit file offsets as with OpenWrt's C library; with 32-bit ones glibc's
# readdir fails under qemu-user, whose 64-bit host kernel hands out directory
# offsets that a 32-bit kernel would keep small.
set(CMAKE_C_FLAGS_INIT "-fno-pie -mplt -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-fno-pie -mplt -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT -no-pie)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -fPIC)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -fPIC)
# CTest runs the test programs through the emulator, with the target's libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${APCTL_CROSS_SYSROOT})
