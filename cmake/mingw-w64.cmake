# Cross build for 64-bit Windows with MinGW-w64, from a Debian-like machine:
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake
#   cmake --build build-windows && ctest --test-dir build-windows
# The tests run under Wine (wine64), which shows the host's / as drive Z:.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
# The -posix compilers give std::thread and friends; the programs need neither,
# but GoogleTest does.
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix ${triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix ${triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VARNEL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(VARNEL_WINE)
  # Wine gives a Windows program's names to the host's files in the host's
  # locale: in C (no LANG) it has no way to name a file or start a program
  # whose path holds a letter outside ASCII, such as a clone in "Städte" or
  # a test's "данные". The tests run in C.UTF-8 whatever the caller's locale.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all LC_ALL=C.UTF-8 ${VARNEL_WINE})
  # How a program under Wine names a file of the host.
  set(VARNEL_HOST_PATH_PREFIX "Z:")
endif()
