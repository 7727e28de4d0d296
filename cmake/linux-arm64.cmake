# Linux on arm64, from a Debian-like x86-64 machine with g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 --toolchain cmake/linux-arm64.cmake
#   cmake --build build-arm64 && ctest --test-dir build-arm64
# 64-bit ARM, run under qemu.
set(varnel_triple aarch64-linux-gnu)
set(varnel_processor aarch64)
set(varnel_qemu "aarch64")
set(VARNEL_DEBIAN_ARCH arm64)
set(varnel_loader ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
