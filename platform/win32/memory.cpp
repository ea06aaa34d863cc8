// memory.cpp: the library's per-send blocks, from the process heap.
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {

void* Allocate(std::size_t size) {
    return ::HeapAlloc(::GetProcessHeap(), 0, size);
}

void Release(void* block) {
    if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace kx::plat::backend
