# Cross build for Linux on another architecture with Debian's cross compilers
# (g++-<triple>), shared by the per-architecture files beside it, which set:
#   varnel_triple      the compilers' prefix, such as aarch64-linux-gnu
#   varnel_processor   CMAKE_SYSTEM_PROCESSOR
#   varnel_qemu        the qemu-user-static emulator's name, such as aarch64;
#                      empty where the binaries run natively on x86-64
#   VARNEL_DEBIAN_ARCH the Debian architecture of the package
# The emulator runs the tests, and through them the programs they start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${varnel_processor})

find_program(CMAKE_C_COMPILER NAMES ${varnel_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${varnel_triple}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${varnel_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(varnel_qemu)
  # The static build: a dynamically linked qemu would be started by the
  # host's loader, which complains about an LD_PRELOAD library meant for the
  # target. -L gives the target's loader and libraries.
  find_program(VARNEL_QEMU NAMES qemu-${varnel_qemu}-static REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNEL_QEMU} -L /usr/${varnel_triple})
endif()
