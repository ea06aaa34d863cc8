// testing.h: helpers for tests that replace platform calls.
//
//   kx::plat::testing::ScopedHook<&kx::plat::HookTable::GetTickCount> tick(+[] { return 5u; });
//
// replaces one entry of the live hook table for the scope and puts the previous entry back.
// Replacements are plain functions (a lambda without captures); state they need lives in
// statics of the test.
#pragma once

#include <cstddef>
#include <type_traits>

#include "platform/platform.h"

namespace kx::plat::testing {

template <auto Member>
class ScopedHook {
  public:
    using Fn = std::remove_reference_t<decltype(Hooks().*Member)>;
    explicit ScopedHook(Fn replacement) : previous_(Hooks().*Member) {
        Hooks().*Member = replacement;
    }
    ~ScopedHook() { Hooks().*Member = previous_; }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

  private:
    Fn previous_;
};

// Puts every entry of the live table back to the backend's own.
void RestoreAllHooks();

// Allocation faults: the `nth` Allocate from now on (1 = the next one) fails, and with
// `sticky` every one after it too. Cleared by ClearAllocationFaults() or RestoreAllHooks().
void FailAllocation(std::size_t nth, bool sticky = false);
void ClearAllocationFaults();
// Number of Allocate calls made since the last FailAllocation/ClearAllocationFaults.
std::size_t AllocationCount();

}  // namespace kx::plat::testing
