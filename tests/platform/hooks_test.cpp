// hooks_test.cpp: the live hook table, its scoped replacements and the allocation faults.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

namespace plat = kx::plat;
using plat::HookTable;
using plat::testing::ScopedHook;

TEST(PlatHooks, ScopedReplacementIsUndoneAtScopeEnd) {
    {
        ScopedHook<&HookTable::GetTickCount> tick(+[]() -> plat::Dword { return 77; });
        EXPECT_EQ(plat::GetTickCount(), 77u);
    }
    EXPECT_EQ(plat::Hooks().GetTickCount, plat::DefaultHooks().GetTickCount);
}

TEST(PlatHooks, LoadLibraryGoesThroughTheExtendedEntry) {
    static plat::Dword seenFlags = 99;
    ScopedHook<&HookTable::LoadLibraryExA> load(
        +[](const char*, plat::Dword flags) -> plat::Module {
            seenFlags = flags;
            return nullptr;
        });
    plat::LoadLibraryA("anything");
    EXPECT_EQ(seenFlags, 0u);
}

TEST(PlatHooks, RestoreAllPutsEveryDefaultBack) {
    plat::Hooks().GetTickCount = +[]() -> plat::Dword { return 1; };
    plat::Hooks().SystemName = +[]() -> const char* { return "x"; };
    plat::testing::RestoreAllHooks();
    EXPECT_EQ(plat::Hooks().GetTickCount, plat::DefaultHooks().GetTickCount);
    EXPECT_EQ(plat::Hooks().SystemName, plat::DefaultHooks().SystemName);
}

TEST(PlatAllocationFaults, NthAllocationFailsOnce) {
    plat::testing::FailAllocation(2);
    void* first = plat::Allocate(16);
    void* second = plat::Allocate(16);
    void* third = plat::Allocate(16);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<plat::Dword>(plat::kErrorNotEnoughMemory));
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(plat::testing::AllocationCount(), 3u);
    plat::Release(first);
    plat::Release(third);
}

TEST(PlatAllocationFaults, StickyFaultFailsEveryLaterAllocation) {
    plat::testing::FailAllocation(1, true);
    EXPECT_EQ(plat::Allocate(1), nullptr);
    EXPECT_EQ(plat::Allocate(1), nullptr);
    plat::testing::ClearAllocationFaults();
    void* block = plat::Allocate(1);
    EXPECT_NE(block, nullptr);
    plat::Release(block);
}

TEST(PlatAllocationFaults, RestoreAllClearsFaults) {
    plat::testing::FailAllocation(1, true);
    plat::testing::RestoreAllHooks();
    void* block = plat::Allocate(8);
    EXPECT_NE(block, nullptr);
    plat::Release(block);
}

TEST(PlatAllocationFaults, ApplyToAReplacedAllocator) {
    static int calls = 0;
    ScopedHook<&HookTable::Allocate> allocate(+[](std::size_t size) -> void* {
        ++calls;
        return std::malloc(size);
    });
    plat::testing::FailAllocation(1);
    EXPECT_EQ(plat::Allocate(4), nullptr);
    EXPECT_EQ(calls, 0);
    void* block = plat::Allocate(4);
    EXPECT_EQ(calls, 1);
    plat::Release(block);
    plat::testing::ClearAllocationFaults();
}

}  // namespace
