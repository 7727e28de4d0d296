// Memory from the C library (malloc, calloc, realloc), which answers a
// failure with null rather than an exception (C++'s nothrow new throws and
// catches inside, and with no memory left even the throw fails), in the hands
// of an owner that gives it back with std::free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace varnel {

struct FreeMemory {
  void operator()(void* memory) const { std::free(memory); }
};

template <typename T>
using OwnedMemory = std::unique_ptr<T, FreeMemory>;

// Memory that large copies go into and out of: `bytes`, inside the block
// that `held` owns.
struct CopyMemory {
  OwnedMemory<void> held;
  std::span<std::uint8_t> bytes;
};

// Memory for `size` bytes, left uninitialised, that the system or the
// program copies whole blocks into and out of: aligned, and where the system
// allows marked for large pages before it is first touched, which spares
// most of the page-table walks of those copies. `bytes` is empty when there
// is not that much memory to be had.
[[nodiscard]] CopyMemory allocate_for_copies(std::size_t size);

}  // namespace varnel
