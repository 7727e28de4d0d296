#include "files/owned_memory.h"

namespace varnel {

// Large pages on Windows need a privilege that users do not have.
void advise_large_pages(void*, std::size_t) {}

}  // namespace varnel
