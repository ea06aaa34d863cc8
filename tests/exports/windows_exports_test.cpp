// The export tables of the cross-compiled Windows modules, read statically with the mingw-w64
// tools: KXEvent.DLL names itself "KXEvent.DLL" and exports the 17 plain names at ordinals 1 to
// 17; on i686 each export removes 4 bytes per argument on return and the import library keeps
// the decorated names callers link against. Skipped when a Windows build is not present.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include "runtime/core_names.h"
#include "tests/exports/command.h"
#include "tests/exports/event_exports.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using kx::test::kEventExports;
using kx::test::Lines;
using kx::test::RunCommand;

struct WindowsBuild {
    fs::path dir;
    std::string objdump;
    std::string nm;
    const char* how;
};

const WindowsBuild kI686{KX_TEST_MINGW32_DIR, KX_TEST_MINGW32_OBJDUMP, KX_TEST_MINGW32_NM,
                         "bash scripts/test.sh (or cmake -DCMAKE_TOOLCHAIN_FILE="
                         "cmake/toolchains/mingw-i686.cmake)"};
const WindowsBuild kX8664{KX_TEST_MINGW64_DIR, KX_TEST_MINGW64_OBJDUMP, "",
                          "bash scripts/test.sh (or cmake -DCMAKE_TOOLCHAIN_FILE="
                          "cmake/toolchains/mingw-x86_64.cmake)"};

// The export directory as objdump -p shows it.
struct ExportTable {
    std::string moduleName;
    std::uint64_t imageBase = 0;
    std::map<int, std::uint32_t> addressByOrdinal;
    std::map<std::string, int> ordinalByName;
};

std::uint64_t Hex(const std::string& text) {
    return std::stoull(text, nullptr, 16);
}

ExportTable ReadExportTable(const WindowsBuild& build, const fs::path& module) {
    const auto result = RunCommand({build.objdump, "-p", module.string()});
    EXPECT_EQ(result.status, 0) << build.objdump << " -p " << module;
    static const std::regex imageBase(R"(^ImageBase\s+([0-9a-fA-F]+)\s*$)");
    static const std::regex name(R"(^Name\s+[0-9a-fA-F]+\s+(\S+)\s*$)");
    static const std::regex base(R"(^Ordinal Base\s+(\d+)\s*$)");
    static const std::regex address(
        R"(^\s*\[\s*\d+\] \+base\[\s*(\d+)\] ([0-9a-fA-F]+) Export RVA)");
    static const std::regex named(R"(^\s*\[\s*(\d+)\] (\S+)\s*$)");
    ExportTable table;
    int ordinalBase = 0;
    bool inNameTable = false;
    for (const std::string& line : Lines(result.output)) {
        std::smatch m;
        if (std::regex_match(line, m, imageBase)) {
            table.imageBase = Hex(m[1]);
        } else if (table.moduleName.empty() && std::regex_match(line, m, name)) {
            table.moduleName = m[1];
        } else if (std::regex_match(line, m, base)) {
            ordinalBase = std::stoi(m[1]);
        } else if (std::regex_search(line, m, address)) {
            table.addressByOrdinal[std::stoi(m[1])] = static_cast<std::uint32_t>(Hex(m[2]));
        } else if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            inNameTable = true;
        } else if (inNameTable && std::regex_match(line, m, named)) {
            table.ordinalByName[m[2]] = std::stoi(m[1]) + ordinalBase;
        } else if (inNameTable) {
            inNameTable = false;
        }
    }
    return table;
}

// The bytes every return instruction of the function at `address` removes from the stack,
// up to the next symbol; nothing when no return was found there.
std::optional<std::set<unsigned>> ReturnPops(const WindowsBuild& build, const fs::path& module,
                                             std::uint64_t address) {
    char start[32], stop[32];
    std::snprintf(start, sizeof start, "--start-address=0x%llx",
                  static_cast<unsigned long long>(address));
    std::snprintf(stop, sizeof stop, "--stop-address=0x%llx",
                  static_cast<unsigned long long>(address + 0x800));
    const auto result = RunCommand({build.objdump, "-d", start, stop, module.string()});
    EXPECT_EQ(result.status, 0);
    static const std::regex label(R"(^[0-9a-fA-F]+ <.*>:\s*$)");
    static const std::regex ret(
        R"(^\s*[0-9a-fA-F]+:\t[0-9a-fA-F ]+\t\s*(?:repz )?ret\s*(\$0x([0-9a-fA-F]+))?)");
    std::set<unsigned> pops;
    int labels = 0;
    for (const std::string& line : Lines(result.output)) {
        std::smatch m;
        if (std::regex_match(line, label) && ++labels > 1) break;
        if (std::regex_search(line, m, ret)) {
            pops.insert(m[2].matched ? static_cast<unsigned>(Hex(m[2])) : 0u);
        }
    }
    if (pops.empty()) return std::nullopt;
    return pops;
}

fs::path EventLibrary(const WindowsBuild& build) {
    return build.dir / "lib" / "velmora" / "KXEvent.DLL";
}

#define SKIP_WITHOUT(build, module)                                                        \
    do {                                                                                   \
        if ((build).objdump.empty()) GTEST_SKIP() << "mingw-w64 objdump is not installed"; \
        if (!fs::exists(module)) {                                                         \
            GTEST_SKIP() << "Windows build not present: " << (module)                      \
                         << " is missing; build it with " << (build).how;                  \
        }                                                                                  \
    } while (0)

void ExpectEventExportTable(const WindowsBuild& build) {
    const fs::path module = EventLibrary(build);
    const ExportTable table = ReadExportTable(build, module);
    EXPECT_EQ(table.moduleName, "KXEvent.DLL");
    EXPECT_EQ(table.addressByOrdinal.size(), kEventExports.size());
    EXPECT_EQ(table.ordinalByName.size(), kEventExports.size());
    for (const auto& entry : kEventExports) {
        const auto found = table.ordinalByName.find(std::string(entry.name));
        ASSERT_NE(found, table.ordinalByName.end()) << entry.name << " is not exported";
        EXPECT_EQ(found->second, entry.ordinal) << entry.name;
    }
}

// Ordinals 2, 3, 4 and 6 are one function, 5, 7 and 13 another; every other export has its own.
void ExpectSharedFunctionsAtOneAddress(const WindowsBuild& build) {
    const ExportTable table = ReadExportTable(build, EventLibrary(build));
    std::map<std::uint32_t, int> functionAt;  // address: the ordinal whose function is there
    for (const auto& entry : kEventExports) {
        const auto address = table.addressByOrdinal.find(entry.ordinal);
        ASSERT_NE(address, table.addressByOrdinal.end()) << entry.name;
        const int function = entry.functionOf != 0 ? entry.functionOf : entry.ordinal;
        const auto [at, added] = functionAt.emplace(address->second, function);
        EXPECT_EQ(at->second, function) << entry.name << " at ordinal " << entry.ordinal;
    }
    EXPECT_EQ(functionAt.size(), kEventExports.size() - 5);
}

TEST(WindowsExportsI686, EventLibraryExportsThePlainNamesAtOrdinalsOneToSeventeen) {
    SKIP_WITHOUT(kI686, EventLibrary(kI686));
    ExpectEventExportTable(kI686);
}

TEST(WindowsExportsI686, EveryExportRemovesFourBytesPerArgument) {
    SKIP_WITHOUT(kI686, EventLibrary(kI686));
    const fs::path module = EventLibrary(kI686);
    const ExportTable table = ReadExportTable(kI686, module);
    ASSERT_NE(table.imageBase, 0u);
    for (const auto& entry : kEventExports) {
        const auto address = table.addressByOrdinal.find(entry.ordinal);
        ASSERT_NE(address, table.addressByOrdinal.end()) << entry.name;
        const auto pops = ReturnPops(kI686, module, table.imageBase + address->second);
        ASSERT_TRUE(pops.has_value()) << entry.name << ": no return instruction found";
        const std::set<unsigned> expected{static_cast<unsigned>(4 * entry.arguments)};
        EXPECT_EQ(*pops, expected) << entry.name;
    }
}

TEST(WindowsExportsI686, ImportLibraryKeepsTheDecoratedNames) {
    const fs::path library = kI686.dir / "lib" / "libKXEvent.dll.a";
    SKIP_WITHOUT(kI686, library);
    ASSERT_FALSE(kI686.nm.empty()) << "mingw-w64 nm is not installed";
    const auto result = RunCommand({kI686.nm, library.string()});
    ASSERT_EQ(result.status, 0);
    std::set<std::string> imports;
    for (const std::string& line : Lines(result.output)) {
        const auto at = line.find(" I __imp__");
        if (at != std::string::npos) imports.emplace(line.substr(at + 10));
    }
    std::set<std::string> expected;
    for (const auto& entry : kEventExports) {
        expected.emplace(std::string(entry.name) + "@" + std::to_string(4 * entry.arguments));
    }
    EXPECT_EQ(imports, expected);
}

TEST(WindowsExportsI686, SiblingStandInsExportThePlainNamesTheBinderResolves) {
    const fs::path kernel = kI686.dir / "lib" / "velmora" / "KXKRNL.DLL";
    const fs::path utility = kI686.dir / "lib" / "velmora" / "KXUTIL.DLL";
    SKIP_WITHOUT(kI686, kernel);
    SKIP_WITHOUT(kI686, utility);
    const auto names = [](const ExportTable& table) {
        std::set<std::string> all;
        for (const auto& [name, ordinal] : table.ordinalByName) all.insert(name);
        all.erase("DllMain");
        return all;
    };
    const auto expected = [](const auto& list) {
        return std::set<std::string>(list.begin(), list.end());
    };
    EXPECT_EQ(names(ReadExportTable(kI686, kernel)), expected(kx::core_names::kKernel));
    EXPECT_EQ(names(ReadExportTable(kI686, utility)), expected(kx::core_names::kUtility));
}

TEST(WindowsExportsX8664, EventLibraryExportsThePlainNamesAtOrdinalsOneToSeventeen) {
    SKIP_WITHOUT(kX8664, EventLibrary(kX8664));
    ExpectEventExportTable(kX8664);
}

TEST(WindowsExportsI686, GroupedOrdinalsAreOneFunctionAtOneAddress) {
    SKIP_WITHOUT(kI686, EventLibrary(kI686));
    ExpectSharedFunctionsAtOneAddress(kI686);
}

TEST(WindowsExportsX8664, GroupedOrdinalsAreOneFunctionAtOneAddress) {
    SKIP_WITHOUT(kX8664, EventLibrary(kX8664));
    ExpectSharedFunctionsAtOneAddress(kX8664);
}

}  // namespace
