// The dynamic symbol tables of the built Linux modules: KXEvent.DLL exports its 17 names and
// the loader's entry notification and nothing else; the sibling stand-ins export exactly the
// names the binder resolves and the entry notification; the platform library its C interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "runtime/core_names.h"
#include "tests/exports/command.h"
#include "tests/exports/event_exports.h"

namespace {

namespace fs = std::filesystem;
using kx::test::DefinedDynamicSymbols;
using Names = std::set<std::string>;

const fs::path kInstallDir = KX_TEST_INSTALL_DIR;

template <typename List>
Names NamesOf(const List& list) {
    Names names;
    for (const auto& name : list) names.emplace(name);
    return names;
}

Names EventNames() {
    Names names;
    for (const auto& entry : kx::test::kEventExports) names.emplace(entry.name);
    return names;
}

// A stand-in exports its component's names and the loader's entry notification, nothing else.
void ExpectExactly(const fs::path& module, Names expected) {
    if (!fs::exists(module)) GTEST_SKIP() << module << " is not built";
    expected.emplace("DllMain");
    EXPECT_EQ(DefinedDynamicSymbols(module), expected);
}

TEST(LinuxExports, EventLibraryExportsTheSeventeenNamesAndTheEntryNotification) {
    const fs::path module = kInstallDir / "KXEvent.DLL";
    ASSERT_TRUE(fs::exists(module)) << module;
    Names expected = EventNames();
    ASSERT_EQ(expected.size(), 17u);
    expected.emplace("DllMain");
    EXPECT_EQ(DefinedDynamicSymbols(module), expected);
}

// Ordinals 2, 3, 4 and 6 are one function, 5, 7 and 13 another; every other export has its own.
TEST(LinuxExports, GroupedExportsAreOneFunctionAtOneAddress) {
    const fs::path module = kInstallDir / "KXEvent.DLL";
    ASSERT_TRUE(fs::exists(module)) << module;
    const auto addresses = kx::test::DynamicSymbolAddresses(module);
    std::map<std::uint64_t, int> functionAt;  // address: the ordinal whose function is there
    for (const auto& entry : kx::test::kEventExports) {
        const auto address = addresses.find(std::string(entry.name));
        ASSERT_NE(address, addresses.end()) << entry.name;
        const int function = entry.functionOf != 0 ? entry.functionOf : entry.ordinal;
        const auto [at, added] = functionAt.emplace(address->second, function);
        EXPECT_EQ(at->second, function) << entry.name << " at ordinal " << entry.ordinal;
    }
    EXPECT_EQ(functionAt.size(), kx::test::kEventExports.size() - 5);
}

TEST(LinuxExports, EventLibraryNamesMatchTheBindersEventTable) {
    EXPECT_EQ(EventNames(), NamesOf(kx::core_names::kEvent));
}

TEST(LinuxExports, KernelStandInExportsExactlyItsSeventySixNames) {
    const Names expected = NamesOf(kx::core_names::kKernel);
    ASSERT_EQ(expected.size(), 76u);
    ExpectExactly(kInstallDir / "KXKRNL.DLL", expected);
}

TEST(LinuxExports, UtilityStandInExportsExactlyItsHundredAndOneNames) {
    const Names expected = NamesOf(kx::core_names::kUtility);
    ASSERT_EQ(expected.size(), 101u);
    ExpectExactly(kInstallDir / "KXUTIL.DLL", expected);
}

// The C interface for hosts, under its C names; the C++ facade is exported mangled beside it.
TEST(LinuxExports, PlatformLibraryExportsTheCNamesOfItsCInterface) {
    const fs::path library = kInstallDir.parent_path() / "libkxplatform.so.1";
    ASSERT_TRUE(fs::exists(library)) << library;
    Names unmangled;
    for (const std::string& name : DefinedDynamicSymbols(library)) {
        if (!name.starts_with("_Z")) unmangled.insert(name);
    }
    EXPECT_EQ(unmangled,
              (Names{"kx_error_text", "kx_free_module", "kx_get_export", "kx_get_function",
                     "kx_last_error", "kx_load_module", "kx_load_refusal"}));
}

}  // namespace
