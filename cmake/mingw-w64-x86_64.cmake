# Cross-building the Windows DLL with Debian's MinGW-w64 (x86_64), POSIX
# threading variant (it carries std::thread and std::mutex for C++20).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SORVIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SORVIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SORVIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SORVIK_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${SORVIK_MINGW_TRIPLE}-objdump)
set(CMAKE_DLLTOOL ${SORVIK_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${SORVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry the GCC runtime, the C++ library and
# winpthreads inside them, so nothing needs MinGW's DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

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
