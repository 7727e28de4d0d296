#include "files/owned_memory.h"

namespace varnel {

// No portable way to ask for large pages.
void advise_large_pages(void*, std::size_t) {}

}  // namespace varnel
