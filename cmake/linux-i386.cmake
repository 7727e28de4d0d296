# Linux on i386, from a Debian-like x86-64 machine with g++-i686-linux-gnu:
#   cmake -S . -B build-i386 --toolchain cmake/linux-i386.cmake
#   cmake --build build-i386 && ctest --test-dir build-i386
# 32-bit long, size_t and pointers. Its programs run natively where the
# kernel runs 32-bit programs and the host has libc6-i386 and lib32stdc++6;
# elsewhere under qemu.
set(varnel_triple i686-linux-gnu)
set(varnel_processor i686)
set(varnel_qemu "i386")
set(VARNEL_DEBIAN_ARCH i386)
set(varnel_loader ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
