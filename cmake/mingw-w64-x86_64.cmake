# 64-bit Windows build with Debian's mingw-w64 compilers (posix thread model:
# std::thread and GoogleTest need it).  Tests run under Wine when it is there.
set(DEV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
