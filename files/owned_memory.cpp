#include "files/owned_memory.h"

#include "files/system.h"

namespace varnel {
namespace {

// The size of a large page on the machines that have them.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

CopyMemory allocate_for_copies(std::size_t size) {
  const std::size_t rounded = (size + kLargePage - 1) / kLargePage * kLargePage;
  // Left uninitialised: the first touch is what gives the memory its pages.
  CopyMemory memory;
  memory.held.reset(std::malloc(rounded + kLargePage));
  if (!memory.held) {
    return memory;
  }
  void* start = memory.held.get();
  std::size_t space = rounded + kLargePage;
  start = std::align(kLargePage, rounded, start, space);
  advise_large_pages(start, rounded);
  memory.bytes = {static_cast<std::uint8_t*>(start), size};
  return memory;
}

}  // namespace varnel
