# Linux on s390x, from a Debian-like x86-64 machine with g++-s390x-linux-gnu:
#   cmake -S . -B build-s390x --toolchain cmake/linux-s390x.cmake
#   cmake --build build-s390x && ctest --test-dir build-s390x
# IBM Z: big-endian, run under qemu.
set(varnel_triple s390x-linux-gnu)
set(varnel_processor s390x)
set(varnel_qemu "s390x")
set(VARNEL_DEBIAN_ARCH s390x)
set(varnel_loader ld64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
