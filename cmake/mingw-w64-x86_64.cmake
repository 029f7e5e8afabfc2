# Cross-building for 64-bit Windows with the MinGW-w64 GCC of Debian
# (packages g++-mingw-w64-x86-64 and binutils-mingw-w64-x86-64).
# Tests of the Windows build run under Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)

# Debian's GCC comes in two thread models: win32, the default, whose C++
# library (GCC 12) has no std::thread, and posix, on winpthreads, which has
# it: -DMINGW_THREADS=posix chooses that one.
set(MINGW_THREADS "" CACHE STRING "Thread model of the MinGW-w64 GCC: win32 or posix (default: the system's)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_THREADS)
set(MINGW_SUFFIX "")
if(MINGW_THREADS)
  set(MINGW_SUFFIX -${MINGW_THREADS})
endif()
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc${MINGW_SUFFIX})
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++${MINGW_SUFFIX})
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(CMAKE_NM ${MINGW_PREFIX}-nm)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(WINE_PROGRAM NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
