// stdcall_probe.cpp: the thunk behind CallThroughProbe. It is written in assembly because the
// compiler would otherwise restore the stack pointer from its frame after the call and hide
// what the entry did to it.
#include "stdcall_probe.h"

#if defined(__i386__)

namespace {

struct RawOutcome {
    std::int32_t stackChange;
    std::uint32_t result;
    std::uint32_t savedRegistersKept;
};

}  // namespace

// kx_stdcall_probe(entry, arguments, count, outcome), itself called with the C convention.
// The ESP before the pushes is kept both in EBX and in a slot of its own frame, so that an
// entry that changes EBX is seen too; EDI carries a marker through the call.
extern "C" void KxStdcallProbe(const void* entry, const std::uint32_t* arguments,
                               std::uint32_t count,
                               RawOutcome* outcome) __asm__("kx_stdcall_probe");

__asm__(R"(
    .text
    .p2align 4
kx_stdcall_probe:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $4, %esp
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl $0x5eca11ed, %edi
    movl %esp, %ebx
    movl %esp, -16(%ebp)
1:
    testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:
    call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, 4(%ecx)
    movl %esp, %edx
    subl -16(%ebp), %edx
    movl %edx, 0(%ecx)
    xorl %edx, %edx
    cmpl -16(%ebp), %ebx
    jne 3f
    cmpl 12(%ebp), %esi
    jne 3f
    cmpl $0x5eca11ed, %edi
    jne 3f
    movl $1, %edx
3:
    movl %edx, 8(%ecx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace kx::wine {

StdcallOutcome CallThroughProbe(const void* entry, const std::vector<std::uint32_t>& arguments) {
    RawOutcome raw{};
    KxStdcallProbe(entry, arguments.data(), static_cast<std::uint32_t>(arguments.size()), &raw);
    StdcallOutcome outcome;
    outcome.stackChange = raw.stackChange;
    outcome.result = raw.result;
    outcome.savedRegistersKept = raw.savedRegistersKept == 1;
    return outcome;
}

}  // namespace kx::wine

#endif
