# 32-bit x86 Linux build (g++ -m32, Debian's g++-multilib), linked statically
# so that its tests run under qemu-i386-static on a host without 32-bit
# support: the word size the Windows deliverables have, tested on Linux.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)  # GoogleTest enables C
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The host's 64-bit libraries and packages (GoogleTest among them) stay out.
set(CMAKE_FIND_ROOT_PATH /usr/lib32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(DEV_STATIC ON CACHE BOOL "Link programs statically")
find_program(DEV_QEMU_I386 qemu-i386-static)
if(DEV_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DEV_QEMU_I386})
endif()
