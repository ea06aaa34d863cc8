// The export tables of the cross-compiled Windows modules, read statically with the mingw-w64
// tools: KXEvent.DLL names itself "KXEvent.DLL" and exports the 17 plain names at ordinals 1 to
// 17; on i686 each export removes 4 bytes per argument on return and the import library keeps
// the decorated names callers link against. Every module and executable carries the project's
// version resource, and its debug information lives in a .debug file of its own that the module
// names. Skipped when a Windows build is not present.
#include <gtest/gtest.h>

#include <algorithm>
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
using kx::test::ReadFile;
using kx::test::RunCommand;

struct WindowsBuild {
    fs::path dir;
    std::string objdump;
    std::string nm;
    std::string windres;
    const char* how;
};

const WindowsBuild kI686{KX_TEST_MINGW32_DIR, KX_TEST_MINGW32_OBJDUMP, KX_TEST_MINGW32_NM,
                         KX_TEST_MINGW32_WINDRES,
                         "bash scripts/test.sh (or cmake -DCMAKE_TOOLCHAIN_FILE="
                         "cmake/toolchains/mingw-i686.cmake)"};
const WindowsBuild kX8664{KX_TEST_MINGW64_DIR, KX_TEST_MINGW64_OBJDUMP, "", KX_TEST_MINGW64_WINDRES,
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

// Every module and executable of the release layout. Resource-only modules (the resource
// modules, the event log's message files) have no code and so no debug information to move
// out; a string table keeps the module's language.
struct ReleaseModule {
    const char* path;  // under the build directory
    const char* description;
    const char* stringTableLanguage;  // windres's LANGUAGE line of the string table, if any
    bool code;
};

constexpr ReleaseModule kReleaseModules[] = {
    {"lib/velmora/KXEvent.DLL", "kxevent event-reporting library", nullptr, true},
    {"lib/velmora/KXKRNL.DLL", "kxevent kernel library stand-in", nullptr, true},
    {"lib/velmora/KXUTIL.DLL", "kxevent utility library stand-in", nullptr, true},
    {"lib/velmora/FwdSyslog.DLL", "kxevent syslog forwarding module", nullptr, true},
    {"bin/kxevent.exe", "kxevent command", nullptr, true},
    {"lib/velmora/Res0901/kxUtlRes.dll", "kxevent resources (English (United States))",
     "LANGUAGE 9, 1", false},
    {"lib/velmora/Res0701/kxUtlRes.dll", "kxevent resources (German)", "LANGUAGE 7, 1", false},
    {"lib/velmora/Res0c01/kxUtlRes.dll", "kxevent resources (French)", "LANGUAGE 12, 1", false},
    {"lib/velmora/Res1101/kxUtlRes.dll", "kxevent resources (Japanese)", "LANGUAGE 17, 1", false},
    {"lib/velmora/KXEventMessages.dll", "kxevent event log messages", nullptr, false},
    {"lib/velmora/KXEventAlerts.dll", "kxevent alerting service event log messages", nullptr,
     false},
};

// The section names objdump -h lists.
std::set<std::string> Sections(const WindowsBuild& build, const fs::path& file) {
    const auto result = RunCommand({build.objdump, "-h", file.string()});
    EXPECT_EQ(result.status, 0) << build.objdump << " -h " << file;
    static const std::regex row(R"(^\s*\d+\s+(\S+)\s+[0-9a-fA-F]+\s)");
    std::set<std::string> names;
    for (const std::string& line : Lines(result.output)) {
        std::smatch m;
        if (std::regex_search(line, m, row)) names.insert(m[1]);
    }
    return names;
}

std::string SectionBytes(const WindowsBuild& build, const fs::path& file, const char* section) {
    const auto result = RunCommand({build.objdump, "-s", "-j", section, file.string()});
    EXPECT_EQ(result.status, 0) << build.objdump << " -s -j " << section << " " << file;
    static const std::regex row(R"(^ [0-9a-fA-F]+ ((?:[0-9a-fA-F]{2,8} ){0,3}[0-9a-fA-F]{2,8}))");
    std::string bytes;
    for (const std::string& line : Lines(result.output)) {
        std::smatch m;
        if (!std::regex_search(line, m, row)) continue;
        const std::string hex = std::regex_replace(m[1].str(), std::regex(" "), "");
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// The CRC-32 that .gnu_debuglink records (the zlib polynomial).
std::uint32_t Crc32(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (const unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string CachedBuildType(const WindowsBuild& build) {
    static const std::regex entry(R"(^CMAKE_BUILD_TYPE:[A-Z]+=(.*)$)");
    for (const std::string& line : Lines(ReadFile(build.dir / "CMakeCache.txt"))) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) return m[1];
    }
    return "";
}

void ExpectVersionResources(const WindowsBuild& build) {
    ASSERT_FALSE(build.windres.empty()) << "mingw-w64 windres is not installed";
    const std::string version = KX_TEST_PROJECT_VERSION;
    // windres prints the numeric versions as "1, 0, 0, 0".
    std::string commas = std::regex_replace(version, std::regex(R"(\.)"), ", ");
    std::string dots = version;
    for (auto n = std::count(version.begin(), version.end(), '.'); n < 3; ++n) {
        commas += ", 0";
        dots += ".0";
    }
    for (const ReleaseModule& module : kReleaseModules) {
        SCOPED_TRACE(module.path);
        const fs::path file = build.dir / module.path;
        ASSERT_TRUE(fs::exists(file)) << file << " was not built";
        const auto result = RunCommand({build.windres, "-i", file.string(), "-O", "rc"});
        ASSERT_EQ(result.status, 0) << build.windres << " could not read " << file;
        const std::string& rc = result.output;
        const auto has = [&rc](const std::string& text) {
            return rc.find(text) != std::string::npos;
        };
        const std::string name = fs::path(module.path).filename().string();
        EXPECT_TRUE(has("FILEVERSION " + commas)) << rc;
        EXPECT_TRUE(has("PRODUCTVERSION " + commas)) << rc;
        EXPECT_TRUE(has("VALUE \"ProductName\", \"kxevent\"")) << rc;
        EXPECT_TRUE(has("VALUE \"ProductVersion\", \"" + version + "\"")) << rc;
        EXPECT_TRUE(has("VALUE \"FileVersion\", \"" + dots + "\"")) << rc;
        EXPECT_TRUE(has("VALUE \"OriginalFilename\", \"" + name + "\"")) << rc;
        EXPECT_TRUE(has("VALUE \"FileDescription\", \"" + std::string(module.description) + "\""))
            << rc;
        EXPECT_TRUE(has("Apache License 2.0")) << rc;
        if (module.stringTableLanguage != nullptr) {
            const auto table = rc.find("STRINGTABLE");
            ASSERT_NE(table, std::string::npos) << "the string table is gone:\n" << rc;
            EXPECT_EQ(rc.rfind("LANGUAGE", table), rc.rfind(module.stringTableLanguage, table))
                << "the string table lost its language:\n"
                << rc;
        }
    }
}

void ExpectDebugInformationSplit(const WindowsBuild& build) {
    const std::string buildType = CachedBuildType(build);
    const bool compiledWithDebugInformation = buildType == "Debug" || buildType == "RelWithDebInfo";
    for (const ReleaseModule& module : kReleaseModules) {
        SCOPED_TRACE(module.path);
        const fs::path file = build.dir / module.path;
        ASSERT_TRUE(fs::exists(file)) << file << " was not built";
        const auto sections = Sections(build, file);
        ASSERT_TRUE(sections.contains(".text") || sections.contains(".rsrc"));
        for (const std::string& section : sections)
            EXPECT_FALSE(section.starts_with(".debug")) << section << " is in the module";
        if (!module.code) continue;  // nothing to move out

        const fs::path debugFile = build.dir / "debug" / (std::string(module.path) + ".debug");
        ASSERT_TRUE(fs::exists(debugFile)) << debugFile << " is missing";
        if (compiledWithDebugInformation) {
            EXPECT_TRUE(Sections(build, debugFile).contains(".debug_info")) << debugFile;
        }
        const std::string link = SectionBytes(build, file, ".gnu_debuglink");
        const auto end = link.find('\0');
        ASSERT_NE(end, std::string::npos) << "no .gnu_debuglink in " << file;
        EXPECT_EQ(link.substr(0, end), debugFile.filename().string());
        const std::size_t crcAt = (end + 4) & ~std::size_t{3};
        ASSERT_GE(link.size(), crcAt + 4);
        std::uint32_t recorded = 0;
        for (int i = 3; i >= 0; --i)
            recorded = (recorded << 8) | static_cast<unsigned char>(link[crcAt + i]);
        EXPECT_EQ(recorded, Crc32(ReadFile(debugFile))) << "the debug link's CRC does not match";
    }
}

class WindowsReleaseModules : public testing::TestWithParam<const WindowsBuild*> {};

TEST_P(WindowsReleaseModules, CarryTheProjectsVersionResource) {
    SKIP_WITHOUT(*GetParam(), EventLibrary(*GetParam()));
    ExpectVersionResources(*GetParam());
}

TEST_P(WindowsReleaseModules, KeepTheirDebugInformationInALinkedDebugFile) {
    SKIP_WITHOUT(*GetParam(), EventLibrary(*GetParam()));
    ExpectDebugInformationSplit(*GetParam());
}

INSTANTIATE_TEST_SUITE_P(BothArchitectures, WindowsReleaseModules, testing::Values(&kI686, &kX8664),
                         [](const auto& info) {
                             return std::string(info.param == &kI686 ? "I686" : "X8664");
                         });

}  // namespace
