// kernel.cpp: the kernel library stand-in KXKRNL.DLL: file creation, writing, closing and
// deletion on the file system, the processor serial number, and every other kernel name as an
// unsupported entry.
#include <array>
#include <atomic>
#include <cstdlib>

#include "platform/platform.h"
#include "siblings/standin.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#define KX_KERNEL KX_STANDIN_NAME
#include "runtime/core_names.inc"

namespace {

using kx::plat::Dword;

constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFFu;

#if defined(KX_STANDIN_CLOSE_RESULT)
// Test builds: a kernel library of the family that answers a good close with this value.
constexpr std::uint32_t kGoodClose = KX_STANDIN_CLOSE_RESULT;
#else
constexpr std::uint32_t kGoodClose = 1;
#endif
constexpr Dword kErrorTooManyOpenFiles = 4;
constexpr std::size_t kMaxOpenFiles = 256;

// A slot claimed by a create that has not yet got its file.
constexpr std::intptr_t kClaimedSlot = -2;

// Handles are indexes into this table of the platform's open files; a free slot holds
// kInvalidFile. Handle values therefore stay small and never reach all bits set. Callers in
// several threads create files at once: a slot is claimed atomically, so no two creates share
// one handle.
struct OpenFileTable {
    std::array<std::atomic<std::intptr_t>, kMaxOpenFiles> slots;
    OpenFileTable() {
        for (auto& slot : slots) slot.store(kx::plat::kInvalidFile);
    }
    std::size_t size() const { return slots.size(); }
    std::atomic<std::intptr_t>& operator[](std::size_t index) { return slots[index]; }
};
OpenFileTable openFiles;

std::intptr_t FileOf(std::uint32_t handle) {
    if (handle >= openFiles.size()) return kx::plat::kInvalidFile;
    const std::intptr_t file = openFiles[handle].load();
    return file == kClaimedSlot ? kx::plat::kInvalidFile : file;
}

std::uint32_t ClaimSlot() {
    for (std::uint32_t handle = 0; handle < openFiles.size(); ++handle) {
        std::intptr_t expected = kx::plat::kInvalidFile;
        if (openFiles[handle].compare_exchange_strong(expected, kClaimedSlot)) return handle;
    }
    return kInvalidHandle;
}

#if defined(KX_STANDIN_SERIAL_FROM_ENV)
// Test builds answer with the status held in KX_TEST_SERIAL_STATUS (0 when unset) and, for
// status 1, a fixed serial.
std::uint32_t ReadSerial(std::uint32_t* first, std::uint32_t* second, std::uint32_t* third) {
    char text[32] = {};
    const Dword length =
        kx::plat::GetEnvironmentVariableA("KX_TEST_SERIAL_STATUS", text, sizeof text);
    if (length == 0 || length >= sizeof text) return 0;
    const auto status = static_cast<std::uint32_t>(std::strtol(text, nullptr, 0));
    if ((status & 0xFFFFu) == 1) {
        *first = 0x00000F29u;
        *second = 0x12345678u;
        *third = 0x9ABCDEF0u;
    }
    return status;
}
#elif defined(__i386__) || defined(__x86_64__)
constexpr unsigned kSerialFeatureBit = 1u << 18;  // leaf 1, EDX

struct ProcessorSerial {
    std::uint32_t status = 0;
    std::uint32_t first = 0, second = 0, third = 0;
};

// Processors that report a serial number give its top 32 bits as the signature of leaf 1 and
// the rest in EDX and ECX of leaf 3.
ProcessorSerial AskProcessor() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (edx & kSerialFeatureBit) == 0) return {};
    const unsigned signature = eax;
    if (!__get_cpuid(3, &eax, &ebx, &ecx, &edx)) return {};
    return {1, signature, edx, ecx};
}

// The processor's answer cannot change while the process runs, and under a hypervisor each
// CPUID leaves the guest: it is asked once.
std::uint32_t ReadSerial(std::uint32_t* first, std::uint32_t* second, std::uint32_t* third) {
    static const ProcessorSerial serial = AskProcessor();
    if (serial.status == 1) {
        *first = serial.first;
        *second = serial.second;
        *third = serial.third;
    }
    return serial.status;
}
#else
std::uint32_t ReadSerial(std::uint32_t*, std::uint32_t*, std::uint32_t*) {
    return 0;
}
#endif

}  // namespace

// Creates a new file; an existing one is never truncated: the call fails instead.
KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API KRNL_FileCreate(const char* path) {
    const std::uint32_t handle = ClaimSlot();
    if (handle == kInvalidHandle) {
        kx::plat::SetLastError(kErrorTooManyOpenFiles);
        return kInvalidHandle;
    }
    const std::intptr_t file = kx::plat::FileCreate(path);
    openFiles[handle].store(file);  // kInvalidFile frees the slot again
    return file == kx::plat::kInvalidFile ? kInvalidHandle : handle;
}

KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API KRNL_FileWrite(std::uint32_t handle,
                                                              const void* data,
                                                              std::uint32_t count) {
    const std::intptr_t file = FileOf(handle);
    if (file == kx::plat::kInvalidFile) {
        kx::plat::SetLastError(kx::plat::kErrorInvalidHandle);
        return 0;
    }
    return kx::plat::FileWrite(file, data, count);
}

// 1 when the file's data reached the disk and the file closed; the handle is free afterwards
// either way.
KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API KRNL_FileClose(std::uint32_t handle) {
    const std::intptr_t file = FileOf(handle);
    if (file == kx::plat::kInvalidFile) {
        kx::plat::SetLastError(kx::plat::kErrorInvalidHandle);
        return 0;
    }
    // Free the slot only if it still holds this file: a second close of the handle in another
    // thread must not close the file twice.
    std::intptr_t expected = file;
    if (!openFiles[handle].compare_exchange_strong(expected, kx::plat::kInvalidFile)) {
        kx::plat::SetLastError(kx::plat::kErrorInvalidHandle);
        return 0;
    }
    return kx::plat::FileClose(file) ? kGoodClose : 0;
}

KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API KRNL_FileDelete(const char* path) {
    return kx::plat::FileDelete(path) ? 1 : 0;
}

// Status 1 with the serial in the three outputs, 0 when the processor has none.
KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API KRNL_CPU_GetSerialNumber(std::uint32_t* first,
                                                                        std::uint32_t* second,
                                                                        std::uint32_t* third) {
    if (first == nullptr || second == nullptr || third == nullptr) return 0;
    return ReadSerial(first, second, third);
}
