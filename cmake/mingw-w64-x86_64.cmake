# Cross-compiles for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64). Programs built here run under Wine. Debian has no
# Windows Qt: the Qt-free core builds on Debian's packages alone, the
# programs on the libraries scripts/windows-deps.sh builds (ORVANTA_WINDOWS_DEPS).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVANTA_MINGW_TRIPLE x86_64-w64-mingw32)
# The POSIX thread model gives std::thread and std::mutex.
set(CMAKE_C_COMPILER ${ORVANTA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANTA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANTA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANTA_MINGW_TRIPLE})
# Searched ahead of the compiler's own folder; passed on to CMake's
# compiler checks, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVANTA_WINDOWS_DEPS)
if(ORVANTA_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${ORVANTA_WINDOWS_DEPS} ${ORVANTA_WINDOWS_DEPS}/qt6-6.4.2-mingw64)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes linked in, so that a test runs under Wine with no
# compiler DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# CTest runs the programs through Wine (Debian keeps wine64 out of PATH).
find_program(ORVANTA_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(ORVANTA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANTA_WINE})
endif()
