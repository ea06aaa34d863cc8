// expand_test.cpp: the expansion of %NAME% variables in a long description.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "catalogue/variables.h"
#include "catalogue_fixture.h"

namespace kx::test {
namespace {

using plat::testing::FailAllocation;

class ExpandTest : public CatalogueTest {
  protected:
    void SetUp() override {
        CatalogueTest::SetUp();
        std::strcpy(message_.szSoftwareName, "Desk Product");
    }
    void TearDown() override {
        FreeVariableTable(table_);
        CatalogueTest::TearDown();
    }
    const VariableTable* Table() {
        if (table_ == nullptr) {
            table_ = BuildVariableTable(0, 1024, &message_, &detail_, &context_);
        }
        return table_;
    }
    std::string Expand(const std::string& text) {
        std::vector<char> out(kExpansionBufferSize, '#');
        EXPECT_EQ(ExpandVariables(text.c_str(), Table(), out.data(), kExpansionBufferSize), 1);
        return out.data();
    }
    std::string ExpandLongDescription(const std::string& text) {
        CopyText(message_.szLongDescript, text);
        std::vector<char> out(kExpansionBufferSize, '#');
        EXPECT_EQ(
            ExpandVariables(message_.szLongDescript, Table(), out.data(), kExpansionBufferSize), 1);
        return out.data();
    }

    MessageRecord message_{};
    DetailRecord detail_{};
    ContextRecord context_{};
    VariableTable* table_ = nullptr;
};

TEST_F(ExpandTest, ReplacesVariablesByTheirFields) {
    std::strcpy(detail_.szVirusName, "Eicar");
    std::strcpy(detail_.szFileName, "C:\\a.com");
    EXPECT_EQ(Expand("Found %VIRUSNAME% in %FILENAME%."), "Found Eicar in C:\\a.com.");
}

TEST_F(ExpandTest, SeesTheFieldsAsTheyAreWhenItRuns) {
    Table();
    std::strcpy(detail_.szUserName, "later");
    EXPECT_EQ(Expand("by %USERNAME%"), "by later");
}

TEST_F(ExpandTest, VariableWithoutValueBecomesUnderscoreBetweenApostrophes) {
    FailAllocation(3);  // the SEVERITY text
    Table();
    plat::testing::ClearAllocationFaults();
    EXPECT_EQ(Expand("[%SEVERITY%] [%TRAPID%]"), "['_'] [1024]");
}

TEST_F(ExpandTest, NamesMatchOnlyExactlyAndLoseTheirSignsOtherwise) {
    std::strcpy(detail_.szVirusName, "Eicar");
    EXPECT_EQ(Expand("%virusname% %NOSUCHNAME% %VIRUSNAM% %VIRUSNAMES%"),
              "virusname NOSUCHNAME VIRUSNAM VIRUSNAMES");
}

// What the percent signs of a text around empty fields become: each row what it shows, the
// text and its expansion.
TEST_F(ExpandTest, SignsPairUpAndEmptyValuesBecomeUnderscoreBetweenApostrophes) {
    const struct {
        const char* behaviour;
        const char* text;
        const char* expanded;
    } cases[] = {
        {"an empty value becomes '_' between apostrophes", "virus %VIRUSNAME% found",
         "virus '_' found"},
        {"an empty time too", "%LOCALTIME%", "'_'"},
        {"a lone sign at the end stays", "done 100%", "done 100%"},
        {"a lone sign stays with the text after it", "a % b", "a % b"},
        {"two percentages form a pair and lose their signs", "50% done and 100% clean",
         "50 done and 100 clean"},
        {"two signs in a row expand to nothing", "a%%b", "ab"},
        {"a middle sign closes the pair and the rest is literal", "%A%B%", "AB%"},
    };
    for (const auto& [behaviour, text, expanded] : cases) {
        EXPECT_EQ(Expand(text), expanded) << behaviour;
    }
}

TEST_F(ExpandTest, ReplacementIsNotScannedAgain) {
    std::strcpy(detail_.szVirusName, "%USERNAME%");
    std::strcpy(detail_.szUserName, "someone");
    EXPECT_EQ(Expand("%VIRUSNAME%"), "%USERNAME%");
}

TEST_F(ExpandTest, NumbersExpandAsSignedDecimals) {
    detail_.uNumVirs = 4294967295u;
    detail_.uNumCleaned = 2;
    EXPECT_EQ(Expand("%NUMVIRS% %NUMCLEANED% %TRAPID%"), "-1 2 1024");
}

TEST_F(ExpandTest, ProductNameOfTheTableBuildIsSeen) {
    message_.szSoftwareName[0] = '\0';
    table_ = BuildVariableTable(1, 5, &message_, &detail_, &context_);
    EXPECT_EQ(Expand("%SOFTWARENAME%"), std::string(FieldText(message_.szSoftwareName)));
    EXPECT_NE(message_.szSoftwareName[0], '\0');
}

TEST_F(ExpandTest, ShortenedFileNameIsWhatTheExpansionCarries) {
    const std::string name(1000, 'f');
    CopyText(detail_.szFileName, name);
    const std::string expanded = Expand("%FILENAME%");
    EXPECT_EQ(expanded, std::string(128, 'f') + "..." + std::string(135, 'f'));
}

// ---------------------------------------------------------------------------------------------
// The long description naming itself.

TEST_F(ExpandTest, LongDescriptionInsideItselfIsThePartBeforeItsFirstSign) {
    EXPECT_EQ(ExpandLongDescription("Found %LONGDESCRIPT% here"), "Found Found  here");
}

TEST_F(ExpandTest, LongDescriptionBeginningWithTheSignPutsNothingForItself) {
    EXPECT_EQ(ExpandLongDescription("%LONGDESCRIPT%x"), "x");
}

TEST_F(ExpandTest, LongDescriptionNamedFromAnotherTextIsWhole) {
    CopyText(message_.szLongDescript, "a%b");
    EXPECT_EQ(Expand("[%LONGDESCRIPT%]"), "[a%b]");
}

TEST_F(ExpandTest, LongDescriptionFillingItsFieldIsReadWithinIt) {
    std::memset(message_.szLongDescript, 'L', sizeof message_.szLongDescript);
    std::memset(message_.szResolution, 'R', sizeof message_.szResolution);
    std::vector<char> out(kExpansionBufferSize, '#');
    ASSERT_EQ(ExpandVariables(message_.szLongDescript, Table(), out.data(), kExpansionBufferSize),
              1);
    EXPECT_EQ(std::string(out.data()), std::string(1024, 'L'));
}

// ---------------------------------------------------------------------------------------------
// Time stamps.

TEST_F(ExpandTest, TimesExpandAsDatesWhileTheFieldsKeepTheirForm) {
    std::strcpy(message_.szGMTTime, "2000  1  5  9: 3: 7");
    std::strcpy(message_.szLocalTime, "2000 12 25 14:30:45");
    EXPECT_EQ(Expand("%GMTTIME%|%LOCALTIME%"), "2000-01- 5  9:03:07|2000-12-25 14:30:45");
    EXPECT_STREQ(message_.szGMTTime, "2000  1  5  9: 3: 7");
}

TEST_F(ExpandTest, ShortTimeTextIsFilledOnlyWhereItReaches) {
    std::strcpy(message_.szGMTTime, "2000  1");
    EXPECT_EQ(Expand("%GMTTIME%"), "2000-01");
}

TEST_F(ExpandTest, TimeFillingItsFieldIsReadWithinIt) {
    std::memset(message_.szGMTTime, ' ', sizeof message_.szGMTTime);
    std::memset(message_.szLocalTime, 'X', sizeof message_.szLocalTime);
    const std::string expanded = Expand("%GMTTIME%");
    ASSERT_EQ(expanded.size(), 31u);
    EXPECT_EQ(expanded.substr(0, 19), "    -0 -      0  0 ");
}

// ---------------------------------------------------------------------------------------------
// Fields without terminator are read within their width.

TEST_F(ExpandTest, FieldWithoutTerminatorGivesItsWholeWidthAndNoMore) {
    std::memset(detail_.szVirusName, 'V', sizeof detail_.szVirusName);
    std::memset(detail_.szVirusType, 'T', sizeof detail_.szVirusType);
    std::memset(detail_.szNoteID, 'N', sizeof detail_.szNoteID);
    std::memset(detail_.szNotesServerName, 'S', sizeof detail_.szNotesServerName);
    EXPECT_EQ(Expand("%VIRUSNAME%|%NOTEID%"), std::string(64, 'V') + "|" + std::string(16, 'N'));
}

TEST_F(ExpandTest, FileNameWithoutTerminatorIsShortenedWithinItsWidth) {
    std::memset(detail_.szFileName, 'F', sizeof detail_.szFileName);
    detail_.szFileName[1023] = 'e';
    std::memset(detail_.szUserName, 'U', sizeof detail_.szUserName);
    EXPECT_EQ(Expand("%FILENAME%"), std::string(128, 'F') + "..." + std::string(134, 'F') + "e");
}

TEST_F(ExpandTest, TextInsideAFieldWithoutTerminatorIsReadWithinTheField) {
    std::memset(detail_.szVirusName, 'V', sizeof detail_.szVirusName);
    std::memset(detail_.szVirusType, 'T', sizeof detail_.szVirusType);
    std::vector<char> out(kExpansionBufferSize, '#');
    ASSERT_EQ(ExpandVariables(detail_.szVirusName + 10, Table(), out.data(), kExpansionBufferSize),
              1);
    EXPECT_EQ(std::string(out.data()), std::string(54, 'V'));
}

TEST(ExpandHandMadeTable, FirstEqualNameWinsAndTheScanStopsAtTheFirstEmptySlot) {
    VariableTable table{};
    table.slots[0] = {"A", "first", 0};
    table.slots[1] = {"A", "second", 0};
    table.slots[2] = {"B", "bee", 0};
    table.slots[3] = {"", nullptr, 0};
    table.slots[4] = {"C", "sea", 0};
    char out[64];
    ASSERT_EQ(ExpandVariables("%A% %B% %C% %D%", &table, out, sizeof out), 1);
    EXPECT_STREQ(out, "first bee C D");
}

TEST(ExpandHandMadeTable, SlotWidthBoundsItsValue) {
    VariableTable table{};
    const char value[4] = {'a', 'b', 'c', 'd'};
    table.slots[0] = {"V", value, sizeof value};
    char out[64];
    ASSERT_EQ(ExpandVariables("[%V%]", &table, out, sizeof out), 1);
    EXPECT_STREQ(out, "[abcd]");
}

// ---------------------------------------------------------------------------------------------
// The 2048-byte result.

TEST_F(ExpandTest, ResultAt2040StillTakesSevenCharactersButNotEight) {
    std::strcpy(detail_.szVirusName, "1234567");
    std::strcpy(detail_.szVirusType, "12345678");
    const std::string head(2040, 'a');
    EXPECT_EQ(Expand(head + "%VIRUSNAME%"), head + "1234567");
    EXPECT_EQ(Expand(head + "%VIRUSTYPE%"), head);
}

TEST_F(ExpandTest, PieceThatDoesNotFitIsDroppedWholeAndLaterOnesGoOn) {
    std::strcpy(detail_.szVirusType, "12345678");
    std::strcpy(detail_.szVirusName, "ok");
    const std::string head(2040, 'a');
    EXPECT_EQ(Expand(head + "%VIRUSTYPE%%VIRUSNAME%" + std::string(10, 'z') + "!"), head + "ok");
    EXPECT_EQ(Expand(head + "%VIRUSTYPE%%VIRUSNAME%!"), head + "ok!");
}

TEST_F(ExpandTest, LiteralRunThatDoesNotFitIsDroppedWhole) {
    std::strcpy(detail_.szVirusName, "v");
    const std::string text = std::string(2000, 'a') + "%%" + std::string(100, 'b') + "%VIRUSNAME%";
    EXPECT_EQ(Expand(text), std::string(2000, 'a') + "v");
}

TEST_F(ExpandTest, ManyLongVariablesStopBelowTheBuffer) {
    CopyText(detail_.szFileName, std::string(1000, 'f'));
    std::string text;
    for (int i = 0; i < 10; ++i) text += "%FILENAME%";
    const std::string expanded = Expand(text);
    EXPECT_EQ(expanded.size(), 7u * 266u);
}

TEST_F(ExpandTest, CandidateLongerThanAnyNameIsKeptWithoutItsSigns) {
    const std::string candidate(300, 'C');
    EXPECT_EQ(Expand("<%" + candidate + "%>"), "<" + candidate + ">");
}

// ---------------------------------------------------------------------------------------------
// Nothing to expand, and the output buffer.

TEST_F(ExpandTest, EmptyOrNullTextExpandsNothingAndWritesNothing) {
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ExpandVariables("", Table(), out, sizeof out), 0);
    EXPECT_EQ(ExpandVariables(nullptr, Table(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
}

TEST_F(ExpandTest, WithoutOutputBufferExpandsNothing) {
    EXPECT_EQ(ExpandVariables("text", Table(), nullptr, 2048), 0);
}

TEST_F(ExpandTest, WithoutMemoryForTheResultExpandsNothing) {
    Table();
    BlockWatch watch;
    char out[16];
    std::memset(out, '#', sizeof out);
    FailAllocation(1);
    EXPECT_EQ(ExpandVariables("text", Table(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(ExpandTest, ResultIsCutToTheOutputBufferAndTerminated) {
    char out[8];
    std::memset(out, '#', sizeof out);
    std::strcpy(detail_.szVirusName, "Eicar");
    EXPECT_EQ(ExpandVariables("Found %VIRUSNAME%", Table(), out, sizeof out), 1);
    EXPECT_STREQ(out, "Found E");
}

TEST_F(ExpandTest, ReleasesItsResultBuffer) {
    Table();
    BlockWatch watch;
    EXPECT_EQ(Expand("a %VIRUSNAME% b"), "a '_' b");
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(ExpandTest, WithoutTableNoNameMatches) {
    char out[32];
    EXPECT_EQ(ExpandVariables("x %VIRUSNAME% y", nullptr, out, sizeof out), 1);
    EXPECT_STREQ(out, "x VIRUSNAME y");
}

}  // namespace
}  // namespace kx::test
