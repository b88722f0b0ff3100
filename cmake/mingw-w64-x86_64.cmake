# Cross-building the Windows DLL with Debian's MinGW-w64 for 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SORVIK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests and gtest discovery run the programs under Wine, in the build tree's
# own prefix (Wine creates it on first use; scripts/test-windows.sh does so
# once, first), without offering to install .NET or an HTML engine.
find_program(SORVIK_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT SORVIK_WINE64)
  find_program(SORVIK_WINE64 NAMES wine64 wine)
endif()
if(SORVIK_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${SORVIK_WINE64})
endif()
