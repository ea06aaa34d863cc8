// testing.cpp: test helpers of the platform layer: restoring the hook table and the
// allocation fault injector consulted by Allocate.
#include "platform/testing.h"

#include <atomic>
#include <cstddef>

namespace kx::plat {

namespace {
// The fault: 0 when none is armed; otherwise the count at which Allocate fails.
std::atomic<std::size_t> gFailAt{0};
std::atomic<bool> gSticky{false};
std::atomic<std::size_t> gCalls{0};
}  // namespace

namespace detail {
bool AllocationFaultDue() {
    const std::size_t call = ++gCalls;
    const std::size_t failAt = gFailAt.load();
    if (failAt == 0) return false;
    return call == failAt || (gSticky.load() && call > failAt);
}
}  // namespace detail

namespace testing {

void RestoreAllHooks() {
    Hooks() = DefaultHooks();
    ClearAllocationFaults();
}

void FailAllocation(std::size_t nth, bool sticky) {
    gSticky = sticky;
    gCalls = 0;
    gFailAt = nth;
}

void ClearAllocationFaults() {
    gFailAt = 0;
    gSticky = false;
    gCalls = 0;
}

std::size_t AllocationCount() {
    return gCalls.load();
}

}  // namespace testing
}  // namespace kx::plat
