# Cross-building the Windows DLL with Debian's MinGW-w64 for 32-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SORVIK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests and gtest discovery run the programs under Wine's 32-bit side
# (wine32:i386), in the build tree's own prefix, a 32-bit Windows one
# (scripts/test-windows.sh creates it first), without offering to install
# .NET or an HTML engine. Only Debian's path is looked at: a plain `wine`
# elsewhere on the PATH may be the 64-bit one.
find_program(SORVIK_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(SORVIK_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEARCH=win32 WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${SORVIK_WINE32})
endif()
