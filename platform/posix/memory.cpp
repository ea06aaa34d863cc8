// memory.cpp: the library's per-send blocks, from the C heap.
#include <cstdlib>

#include "platform/posix/internal.h"

namespace kx::plat::backend {

void* Allocate(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void Release(void* block) {
    std::free(block);
}

}  // namespace kx::plat::backend
