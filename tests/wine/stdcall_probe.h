// stdcall_probe.h: calls an entry of the 32-bit Windows API calling convention with a list of
// 32-bit arguments and reports what the call did to the caller's stack and saved registers.
// Only on 32-bit x86: on x86_64 there is one calling convention and nothing to compare.
#pragma once

#if defined(__i386__)

#include <cstdint>
#include <vector>

namespace kx::wine {

struct StdcallOutcome {
    // ESP after the call returned minus ESP before the arguments were pushed: 0 when the entry
    // removed exactly its arguments, negative when it left some on the stack.
    std::int32_t stackChange = 0;
    std::uint32_t result = 0;  // EAX
    // Whether EBX, ESI and EDI came back as they were, as the convention requires.
    bool savedRegistersKept = false;
};

StdcallOutcome CallThroughProbe(const void* entry, const std::vector<std::uint32_t>& arguments);

// A pointer as the 32-bit argument it is on this architecture.
template <typename T>
std::uint32_t Argument(T* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

}  // namespace kx::wine

#endif
