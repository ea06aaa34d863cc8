// The records' layout checks of the public header, put to the test in every language a host
// may compile the header in: each must reject a misplaced field or a wrong record size, and the
// header must keep its layout whatever structure packing the host has set.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "support.h"

namespace kx::test {
namespace {

struct Language {
    const char* name;
    const char* compiler;
    const char* standard;
    const char* suffix;
};

void PrintTo(const Language& language, std::ostream* out) {
    *out << language.name;
}

// C99 has no static assertion of its own, so it runs the header's fallback form of the check.
const Language kLanguages[] = {
    {"C89", KX_C_COMPILER, "-std=c89", ".c"},
    {"C99", KX_C_COMPILER, "-std=c99", ".c"},
    {"C11", KX_C_COMPILER, "-std=c11", ".c"},
    {"Cxx20", KX_CXX_COMPILER, "-std=c++20", ".cpp"},
};

// Whether a source of `prologue`, the public header and `epilogue` compiles warning-free.
bool Compiles(const Language& language, const std::string& prologue, const std::string& epilogue) {
    TempDir dir;
    const auto source = dir / (std::string("probe") + language.suffix);
    WriteFile(source, prologue + "\n#include \"kxevent/kxevent.h\"\n" + epilogue + "\n");
    const ProcessResult result = RunProcess(
        language.compiler, {language.standard, "-pedantic-errors", "-Wall", "-Werror",
                            "-fsyntax-only", "-I", KX_PUBLIC_INCLUDE_DIR, source.string()});
    return result.exitCode == 0;
}

class LayoutChecks : public ::testing::TestWithParam<Language> {};

TEST_P(LayoutChecks, HeaderCompilesAsItIs) {
    EXPECT_TRUE(Compiles(GetParam(), "", ""));
}

TEST_P(LayoutChecks, FieldClaimedAtAnotherOffsetIsRejected) {
    EXPECT_TRUE(Compiles(GetParam(), "", "KX_AT(DetailRecord, szDomain, 5468);"));
    EXPECT_FALSE(Compiles(GetParam(), "", "KX_AT(DetailRecord, szDomain, 5467);"));
    EXPECT_FALSE(Compiles(GetParam(), "", "KX_AT(MessageRecord, uSeverity, 1400);"));
}

TEST_P(LayoutChecks, RecordClaimedAtAnotherSizeIsRejected) {
    EXPECT_FALSE(
        Compiles(GetParam(), "", "KX_LAYOUT_CHECK(sizeof(ContextRecord) == 523, \"wrong size\");"));
}

// Hosts built with tight or loose packing (a compiler switch or a pragma left active) still get
// the records' layout, or the header refuses to compile.
TEST_P(LayoutChecks, LayoutHoldsUnderAnyStructurePacking) {
    for (const char* packing : {"1", "2", "4", "8", "16"}) {
        SCOPED_TRACE(packing);
        EXPECT_TRUE(Compiles(GetParam(), std::string("#pragma pack(") + packing + ")", ""));
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, LayoutChecks, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kx::test
