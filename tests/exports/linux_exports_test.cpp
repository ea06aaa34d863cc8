// The dynamic symbol tables of the built Linux modules: KXEvent.DLL exports its 17 names and
// the loader's entry notification and nothing else; the sibling stand-ins export exactly the
// names the binder resolves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "runtime/core_names.h"
#include "tests/exports/command.h"
#include "tests/exports/event_exports.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using kx::test::Lines;
using kx::test::RunCommand;
using Names = std::set<std::string>;

const fs::path kInstallDir = KX_TEST_INSTALL_DIR;

// Defined functions and data of the module's dynamic symbol table.
Names DynamicSymbols(const fs::path& module) {
    const auto result =
        RunCommand({KX_TEST_NM, "-D", "--defined-only", "--format=posix", module.string()});
    EXPECT_EQ(result.status, 0) << "nm failed on " << module;
    Names names;
    for (const std::string& line : Lines(result.output)) {
        const auto space = line.find(' ');
        if (space == 0 || space == std::string::npos) continue;
        names.emplace(line.substr(0, space));
    }
    return names;
}

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

// Stand-ins may carry the entry notification; nothing else beyond the component's names.
void ExpectExactly(const fs::path& module, Names expected, bool entryOptional) {
    if (!fs::exists(module)) GTEST_SKIP() << module << " is not built";
    Names actual = DynamicSymbols(module);
    if (entryOptional) actual.erase("DllMain");
    EXPECT_EQ(actual, expected);
}

TEST(LinuxExports, EventLibraryExportsTheSeventeenNamesAndTheEntryNotification) {
    const fs::path module = kInstallDir / "KXEvent.DLL";
    ASSERT_TRUE(fs::exists(module)) << module;
    Names expected = EventNames();
    ASSERT_EQ(expected.size(), 17u);
    expected.emplace("DllMain");
    EXPECT_EQ(DynamicSymbols(module), expected);
}

TEST(LinuxExports, EventLibraryNamesMatchTheBindersEventTable) {
    EXPECT_EQ(EventNames(), NamesOf(kx::core_names::kEvent));
}

TEST(LinuxExports, KernelStandInExportsExactlyItsSeventySixNames) {
    const Names expected = NamesOf(kx::core_names::kKernel);
    ASSERT_EQ(expected.size(), 76u);
    ExpectExactly(kInstallDir / "KXKRNL.DLL", expected, true);
}

TEST(LinuxExports, UtilityStandInExportsExactlyItsHundredAndOneNames) {
    const Names expected = NamesOf(kx::core_names::kUtility);
    ASSERT_EQ(expected.size(), 101u);
    ExpectExactly(kInstallDir / "KXUTIL.DLL", expected, true);
}

}  // namespace
