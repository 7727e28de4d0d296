# Cross build for Linux on another architecture with Debian's cross compilers
# (g++-<triple>), shared by the per-architecture files beside it, which set:
#   varnel_triple      the compilers' prefix, such as aarch64-linux-gnu
#   varnel_processor   CMAKE_SYSTEM_PROCESSOR
#   varnel_qemu        the qemu-user-static emulator's name, such as aarch64
#   VARNEL_DEBIAN_ARCH the Debian architecture of the package
# The emulator runs the tests, and through them the programs they start, on a
# machine that cannot run the build's programs itself. Whether it can is found
# out when configuring, by building a small program and running it: an x86-64
# machine may run i386 programs or not, as its kernel allows.
# -DVARNEL_EMULATOR=ON runs them under the emulator anyway, =OFF never.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${varnel_processor})

find_program(CMAKE_C_COMPILER NAMES ${varnel_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${varnel_triple}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${varnel_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler checks' own small projects read this file too; they run
# nothing, so they need no emulator.
if(CMAKE_IN_TRY_COMPILE)
  return()
endif()

set(VARNEL_EMULATOR AUTO CACHE STRING
    "Run this build's programs under qemu-${varnel_qemu}-static: AUTO (when this machine cannot run them), ON or OFF")
set_property(CACHE VARNEL_EMULATOR PROPERTY STRINGS AUTO ON OFF)

# Whether this machine runs the target's C++ programs itself: a program that
# uses the C++ library, built by the cross compiler, must start and succeed.
function(varnel_runs_natively result)
  set(dir ${CMAKE_BINARY_DIR}/CMakeFiles/varnel-native-probe)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/probe.cpp
       "#include <sstream>\nint main() { std::ostringstream s; s << 42; return s.str() == \"42\" ? 0 : 1; }\n")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${dir}/probe.cpp -o ${dir}/probe
                  RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(ran 1)
  if(built EQUAL 0)
    execute_process(COMMAND ${dir}/probe RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET TIMEOUT 20)
  endif()
  if(ran EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# This file is read more than once while configuring: decided and said once.
if(DEFINED varnel_emulate)
  return()
endif()
if(VARNEL_EMULATOR STREQUAL "AUTO")
  varnel_runs_natively(native)
  if(native)
    set(varnel_emulate FALSE)
    set(why "this machine runs them")
  else()
    set(varnel_emulate TRUE)
    set(why "this machine cannot run them")
  endif()
elseif(VARNEL_EMULATOR)
  set(varnel_emulate TRUE)
  set(why "VARNEL_EMULATOR=${VARNEL_EMULATOR}")
else()
  set(varnel_emulate FALSE)
  set(why "VARNEL_EMULATOR=${VARNEL_EMULATOR}")
endif()

if(varnel_emulate)
  # The static build: a dynamically linked qemu would be started by the
  # host's loader, which complains about an LD_PRELOAD library meant for the
  # target. The emulator starts the target's own loader, which starts the
  # program with the target's libraries from their folder, before any that
  # the host's /etc/ld.so.cache names: for i386 that cache can name the
  # host's own 32-bit C library (libc6-i386), another build of it than the
  # loader's, and a loader and C library of two builds hang in fork. Not
  # qemu's -L: it looks for every absolute path in the target's folder
  # first, "/" included, so that a path walked from the root folder led into
  # /usr/<triple> and every file named by its full path was not found.
  find_program(VARNEL_QEMU NAMES qemu-${varnel_qemu}-static REQUIRED)
  set(loader /usr/${varnel_triple}/lib/${varnel_loader})
  if(NOT EXISTS ${loader})
    message(FATAL_ERROR "No loader for ${VARNEL_DEBIAN_ARCH} at ${loader}: install libc6-dev-${VARNEL_DEBIAN_ARCH}-cross")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNEL_QEMU} ${loader}
      --library-path /usr/${varnel_triple}/lib)
  message(STATUS "${VARNEL_DEBIAN_ARCH} programs: run under ${VARNEL_QEMU} (${why})")
else()
  unset(CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "${VARNEL_DEBIAN_ARCH} programs: run natively (${why})")
endif()
