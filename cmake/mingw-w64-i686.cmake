# 32-bit x86 Windows build, the platform the deliverables are made for, with
# Debian's mingw-w64 compilers (posix thread model).
set(DEV_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
