// hooks.cpp: the facade functions of platform.h, each calling through the live hook table,
// and the tables themselves: the backend's defaults and the live copy that tests may change.
#include <cstddef>
#include <type_traits>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kx::plat {

namespace detail {
// Allocation faults, kept with the test helpers (testing.cpp): true when this Allocate must
// fail. Counted here so that a replaced Allocate hook sees the same faults.
bool AllocationFaultDue();
}  // namespace detail

const HookTable& DefaultHooks() {
#define KX_PLATFORM_DEFAULT_ENTRY(result, name, params, args) .name = backend::name,
    static constexpr HookTable kDefaults = {
        KX_PLATFORM_HOOKS(KX_PLATFORM_DEFAULT_ENTRY, KX_PLATFORM_DEFAULT_ENTRY)};
#undef KX_PLATFORM_DEFAULT_ENTRY
    return kDefaults;
}

HookTable& Hooks() {
    static HookTable live = DefaultHooks();
    return live;
}

// Each facade function is declared in platform.h with the entry's own type: a declaration that
// drifts from its list line fails here rather than leaving the facade undefined.
#define KX_PLATFORM_FACADE_MATCHES(result, name, params, args) \
    static_assert(std::is_same_v<decltype(&name), result(*) params>, #name);
KX_PLATFORM_HOOKS(KX_PLATFORM_FACADE_MATCHES, KX_PLATFORM_FACADE_MATCHES)
#undef KX_PLATFORM_FACADE_MATCHES

#define KX_PLATFORM_FORWARD(result, name, params, args) \
    result name params {                                \
        return Hooks().name args;                       \
    }
#define KX_PLATFORM_OWN_FACADE(result, name, params, args)
KX_PLATFORM_HOOKS(KX_PLATFORM_FORWARD, KX_PLATFORM_OWN_FACADE)
#undef KX_PLATFORM_OWN_FACADE
#undef KX_PLATFORM_FORWARD

namespace detail {
void ForgetTrustRefusal();  // load_refusal.cpp
}  // namespace detail

Module LoadLibraryExA(const char* path, Dword flags) {
    detail::ForgetTrustRefusal();
    Module module = Hooks().LoadLibraryExA(path, flags);
    // A refusal noted by a load that this module's attach made is not this load's refusal.
    if (module != nullptr || GetLastError() != static_cast<Dword>(kErrorAccessDenied)) {
        detail::ForgetTrustRefusal();
    }
    return module;
}

Module LoadLibraryA(const char* path) {
    return LoadLibraryExA(path, 0);
}

Module LoadConfiguredLibraryA(const char* path) {
    return LoadLibraryExA(path, kLoadNamedByConfiguration);
}

void* Allocate(std::size_t size) {
    if (detail::AllocationFaultDue()) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    return Hooks().Allocate(size);
}

}  // namespace kx::plat
