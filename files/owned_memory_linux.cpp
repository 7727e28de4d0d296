#include <sys/mman.h>

#include "files/owned_memory.h"

namespace varnel {

void advise_large_pages(void* start, std::size_t size) {
  (void)::madvise(start, size, MADV_HUGEPAGE);
}

}  // namespace varnel
