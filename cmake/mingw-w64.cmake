# Shared part of the mingw-w64 toolchain files; DEV_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)
if(DEV_MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
set(CMAKE_C_COMPILER ${DEV_MINGW_TRIPLE}-gcc-posix)  # GoogleTest enables C
set(CMAKE_CXX_COMPILER ${DEV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DEV_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${DEV_MINGW_TRIPLE})
# Only the target's own libraries and headers: the host's never get mixed in.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests run through wine-run, which starts a program again when Wine failed
# to start it.
find_program(DEV_WINE wine)
if(DEV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
endif()
