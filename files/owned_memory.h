// Memory from the C library (malloc, calloc, realloc), which answers a
// failure with null rather than an exception (C++'s nothrow new throws and
// catches inside, and with no memory left even the throw fails), in the hands
// of an owner that gives it back with std::free.
#pragma once

#include <cstdlib>
#include <memory>

namespace varnel {

struct FreeMemory {
  void operator()(void* memory) const { std::free(memory); }
};

template <typename T>
using OwnedMemory = std::unique_ptr<T, FreeMemory>;

}  // namespace varnel
