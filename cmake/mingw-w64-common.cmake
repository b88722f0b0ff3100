# What both MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and SORVIK_MINGW_TRIPLE first. POSIX threading variant: it carries
# std::thread and std::mutex for C++20.
set(CMAKE_SYSTEM_NAME Windows)

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
