# Linux on armhf, from a Debian-like x86-64 machine with g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf --toolchain cmake/linux-armhf.cmake
#   cmake --build build-armhf && ctest --test-dir build-armhf
# 32-bit ARM with hardware floating point, run under qemu.
set(varnel_triple arm-linux-gnueabihf)
set(varnel_processor arm)
set(varnel_qemu "arm")
set(VARNEL_DEBIAN_ARCH armhf)
set(varnel_loader ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
