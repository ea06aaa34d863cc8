// kxrc_test.cpp: the resource compiler run as the build runs it, on sources written here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support.h"

namespace kx {
namespace {

constexpr char kGoodSource[] =
    "# a comment\n"
    "\n"
    "142 Product\n"
    "140 Cannot write %s: %s\n"
    "141   Failed %s (100%%)\\r\\n%s \\\\ end  \r\n";

struct CompileResult {
    int status;
    std::string error;
};

class KxrcTest : public ::testing::Test {
  protected:
    CompileResult Compile(std::string_view source, const char* mode = "module",
                          const char* extra = "") {
        test::WriteFile(source_, source);
        const std::string command = std::string("'") + KX_TEST_KXRC + "' " + mode + " '" +
                                    source_.string() + "' '" + output_.string() + "' " + extra +
                                    " 2>'" + errors_.string() + "'";
        const int status = std::system(command.c_str());
        return {status, test::ReadFile(errors_)};
    }
    void ExpectRefused(std::string_view source, const std::string& lineAndReason) {
        const CompileResult run = Compile(source);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(run.error, source_.string() + ":" + lineAndReason + "\n");
        EXPECT_FALSE(std::filesystem::exists(output_));
    }

    test::TempDir tmp_;
    std::filesystem::path source_ = tmp_ / "0901.txt";
    std::filesystem::path output_ = tmp_ / "kxUtlRes.dll";
    std::filesystem::path errors_ = tmp_ / "errors.txt";
};

std::string U32(std::uint32_t value) {
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
    return out;
}

std::string Entry(std::uint32_t id, std::string_view text) {
    return U32(id) + U32(static_cast<std::uint32_t>(text.size())) + std::string(text);
}

// ---- Output ---------------------------------------------------------------------------------

TEST_F(KxrcTest, ModuleHoldsEntriesInIdOrderWithEscapesResolved) {
    ASSERT_EQ(Compile(kGoodSource).status, 0);
    const std::string expected = "KXRS" + U32(1) + U32(3) + Entry(140, "Cannot write %s: %s") +
                                 Entry(141, "Failed %s (100%%)\r\n%s \\ end") +
                                 Entry(142, "Product");
    EXPECT_EQ(test::ReadFile(output_), expected);
}

TEST_F(KxrcTest, AnOutputThatCannotBeReplacedLeavesNoPartialFile) {
    std::filesystem::create_directory(output_);  // a file cannot be renamed over a directory
    const CompileResult run = Compile(kGoodSource);
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.error, output_.string() + ": cannot be written\n");
    EXPECT_FALSE(std::filesystem::exists(output_.string() + ".partial"));
}

TEST_F(KxrcTest, ResourceScriptCarriesLanguageAndQuotedStrings) {
    ASSERT_EQ(Compile("140 a \"%s\" %s\n141 %s\\\\%s\n142 \xe9t\xe9\n", "rc", "0c01").status, 0);
    const std::string script = test::ReadFile(output_);
    EXPECT_NE(script.find("LANGUAGE 12, 1\n"), std::string::npos);
    EXPECT_NE(script.find("140, \"a \"\"%s\"\" %s\""), std::string::npos);
    EXPECT_NE(script.find("141, \"%s\\\\%s\""), std::string::npos);
    EXPECT_NE(script.find("142, \"\\351t\\351\""), std::string::npos);
}

TEST_F(KxrcTest, ResourceScriptNeedsALanguage) {
    EXPECT_NE(Compile(kGoodSource, "rc", "09x1").status, 0);
    EXPECT_FALSE(std::filesystem::exists(output_));
}

// ---- Refusals -------------------------------------------------------------------------------

TEST_F(KxrcTest, RefusesAnotherConversionInAFormat) {
    ExpectRefused("140 %s %d %s\n141 %s %s\n142 P\n",
                  "1: string 140: only %s and %% may follow '%' (found '%d')");
}

TEST_F(KxrcTest, RefusesAFormatWithOneText) {
    ExpectRefused("140 %s %s\n141 only %s\n142 P\n",
                  "2: string 141 must hold exactly two %s, not 1");
}

TEST_F(KxrcTest, RefusesAFormatWithThreeTexts) {
    ExpectRefused("140 %s %s %s\n141 %s %s\n142 P\n",
                  "1: string 140 must hold exactly two %s, not 3");
}

TEST_F(KxrcTest, RefusesAProductNameOf16Characters) {
    ExpectRefused("140 %s %s\n141 %s %s\n142 1234567890123456\n",
                  "3: string 142 is 16 characters long; at most 15 fit");
}

TEST_F(KxrcTest, AcceptsAProductNameOf15Characters) {
    EXPECT_EQ(Compile("140 %s %s\n141 %s %s\n142 123456789012345\n").status, 0);
}

TEST_F(KxrcTest, RefusesADuplicateId) {
    ExpectRefused("140 %s %s\n141 %s %s\n142 P\n140 %s %s\n",
                  "4: string 140 is already defined on line 1");
}

TEST_F(KxrcTest, RefusesALineWithoutId) {
    ExpectRefused("140 %s %s\nhello world\n",
                  "2: expected \"<id> <text>\" with a decimal id from 0 to 65535");
}

TEST_F(KxrcTest, RefusesAnIdWithoutText) {
    ExpectRefused("140\n", "1: expected \"<id> <text>\" with a decimal id from 0 to 65535");
}

TEST_F(KxrcTest, RefusesAnUnknownEscape) {
    ExpectRefused("140 %s\\t%s\n", "1: unknown escape '\\t'");
}

TEST_F(KxrcTest, RefusesAMissingRequiredString) {
    ExpectRefused("140 %s %s\n142 P\n", "2: string 141 is missing");
}

}  // namespace
}  // namespace kx
