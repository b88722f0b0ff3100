# Cross-building the Windows DLL with Debian's MinGW-w64 for 32-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SORVIK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
