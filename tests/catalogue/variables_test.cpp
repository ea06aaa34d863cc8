// variables_test.cpp: the per-send variable table, its number texts and the shortening of long
// file and mail names.
#include "catalogue/variables.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "catalogue/product_names.h"
#include "catalogue/variables_internal.h"
#include "catalogue_fixture.h"

namespace kx::test {
namespace {

using plat::testing::FailAllocation;

constexpr std::array<std::string_view, kVariableCount> kTokens{"SOFTWARENAME",
                                                               "SOFTWAREVERSION",
                                                               "TASKID",
                                                               "GMTTIME",
                                                               "LOCALTIME",
                                                               "LONGDESCRIPT",
                                                               "RESOLUTION",
                                                               "SEVERITY",
                                                               "SHORTDESCRIPT",
                                                               "COMPUTERNAME",
                                                               "SOURCEIP",
                                                               "SOURCEMAC",
                                                               "SOURCESEG",
                                                               "TARGETCOMPUTERNAME",
                                                               "TARGETIP",
                                                               "TARGETMAC",
                                                               "URL",
                                                               "TRAPID",
                                                               "ENGINEVERSION",
                                                               "DATVERSION",
                                                               "ENGINESTATUS",
                                                               "VIRUSNAME",
                                                               "VIRUSTYPE",
                                                               "FILENAME",
                                                               "USERNAME",
                                                               "OS",
                                                               "PROCESSORSERIAL",
                                                               "TASKNAME",
                                                               "NUMVIRS",
                                                               "NUMCLEANED",
                                                               "NUMDELETED",
                                                               "NUMQUARANTINED",
                                                               "SCANRETURNCODE",
                                                               "MAILFROMNAME",
                                                               "MAILTONAME",
                                                               "MAILCCNAME",
                                                               "MAILSUBJECTLINE",
                                                               "MAILIDENTIFIERINFO",
                                                               "LANGUAGECODE",
                                                               "CLIENTCOMPUTER",
                                                               "TSCLIENTID",
                                                               "ACCESSPROCESSNAME",
                                                               "EVENTNAME",
                                                               "INFO",
                                                               "NOTEID",
                                                               "NOTESSERVERNAME",
                                                               "NOTESDBNAME",
                                                               "DOMAIN",
                                                               "OBRULENAME"};

constexpr std::array<std::string_view, 9> kNumberTokens{
    "SEVERITY",   "TRAPID",         "ENGINESTATUS",   "NUMVIRS",   "NUMCLEANED",
    "NUMDELETED", "NUMQUARANTINED", "SCANRETURNCODE", "TSCLIENTID"};

bool IsNumberToken(std::string_view token) {
    return std::find(kNumberTokens.begin(), kNumberTokens.end(), token) != kNumberTokens.end();
}

const VariableSlot& Slot(const VariableTable& table, std::string_view token) {
    for (const VariableSlot& slot : table.slots) {
        if (slot.name != nullptr && token == slot.name) return slot;
    }
    ADD_FAILURE() << "no slot " << token;
    return table.slots[kVariableCount];
}

std::string Pattern(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

class VariableTableTest : public CatalogueTest {
  protected:
    VariableTable* Build(std::uint32_t product = 3, std::int32_t event = 1024) {
        table_ = BuildVariableTable(product, event, &message_, &detail_, &context_);
        return table_;
    }
    void TearDown() override {
        FreeVariableTable(table_);
        CatalogueTest::TearDown();
    }
    MessageRecord message_{};
    DetailRecord detail_{};
    ContextRecord context_{};
    VariableTable* table_ = nullptr;
};

TEST_F(VariableTableTest, HoldsTheFortyNineTokensInOrderAndAnEmptyEndSlot) {
    ASSERT_NE(Build(), nullptr);
    for (std::size_t i = 0; i < kTokens.size(); ++i) {
        ASSERT_NE(table_->slots[i].name, nullptr);
        EXPECT_EQ(table_->slots[i].name, kTokens[i]) << "slot " << i;
    }
    EXPECT_EQ(table_->slots[kVariableCount].name, nullptr);
    EXPECT_EQ(table_->slots[kVariableCount].value, nullptr);
}

TEST_F(VariableTableTest, TextValuesReferToTheRecordFieldsThemselves) {
    ASSERT_NE(Build(), nullptr);
    EXPECT_EQ(Slot(*table_, "SOFTWARENAME").value, message_.szSoftwareName);
    EXPECT_EQ(Slot(*table_, "URL").value, message_.szURL);
    EXPECT_EQ(Slot(*table_, "ENGINEVERSION").value, detail_.szEngineVersion);
    EXPECT_EQ(Slot(*table_, "FILENAME").value, detail_.szFileName);
    EXPECT_EQ(Slot(*table_, "OBRULENAME").value, detail_.szOBRuleName);
    EXPECT_EQ(Slot(*table_, "NOTESDBNAME").width, sizeof detail_.szNotesDBName);
    for (std::string_view token : kTokens) {
        const VariableSlot& slot = Slot(*table_, token);
        if (IsNumberToken(token)) continue;
        const auto* base = reinterpret_cast<const char*>(&message_);
        const auto* detailBase = reinterpret_cast<const char*>(&detail_);
        const bool inMessage =
            slot.value >= base && slot.value + slot.width <= base + sizeof message_;
        const bool inDetail =
            slot.value >= detailBase && slot.value + slot.width <= detailBase + sizeof detail_;
        EXPECT_TRUE(inMessage || inDetail) << token;
    }
}

TEST_F(VariableTableTest, SetsTrapIdToTheEventNumber) {
    detail_.uTrapID = 99;
    ASSERT_NE(Build(3, -5), nullptr);
    EXPECT_EQ(detail_.uTrapID, static_cast<std::uint32_t>(-5));
    EXPECT_STREQ(Slot(*table_, "TRAPID").value, "-5");
}

TEST_F(VariableTableTest, NamesAnUnnamedProduct) {
    ASSERT_NE(Build(2), nullptr);
    EXPECT_EQ(FieldText(message_.szSoftwareName), ProductNameTable.slots[2]);
}

TEST_F(VariableTableTest, KeepsANameTheRecordAlreadyHolds) {
    std::strcpy(message_.szSoftwareName, "Own Name");
    ASSERT_NE(Build(2), nullptr);
    EXPECT_STREQ(message_.szSoftwareName, "Own Name");
}

TEST_F(VariableTableTest, NumberTextsAreSignedDecimals) {
    detail_.uNumVirs = 4294967295u;
    detail_.uNumCleaned = 2147483648u;
    detail_.uNumDeleted = 2147483647u;
    detail_.dwTSClientID = 17;
    ASSERT_NE(Build(), nullptr);
    EXPECT_STREQ(Slot(*table_, "NUMVIRS").value, "-1");
    EXPECT_STREQ(Slot(*table_, "NUMCLEANED").value, "-2147483648");
    EXPECT_STREQ(Slot(*table_, "NUMDELETED").value, "2147483647");
    EXPECT_STREQ(Slot(*table_, "TSCLIENTID").value, "17");
    EXPECT_STREQ(Slot(*table_, "SEVERITY").value, "0");
}

TEST_F(VariableTableTest, NumberListHoldsNineTextsInTableOrderThenOneEmptyNode) {
    message_.uSeverity = 1;
    detail_.uEngineStatus = 3;
    detail_.uNumVirs = 4;
    detail_.uNumCleaned = 5;
    detail_.uNumDeleted = 6;
    detail_.uNumQuarantined = 7;
    detail_.uScanReturnCode = 8;
    detail_.dwTSClientID = 9;
    ASSERT_NE(Build(3, 2), nullptr);
    std::string texts;
    int emptyNodes = 0;
    for (const NumberStringNode* node = table_->numbers; node != nullptr; node = node->next) {
        if (node->text == nullptr) {
            ++emptyNodes;
            EXPECT_EQ(node->next, nullptr);
        } else {
            texts += node->text;
        }
    }
    EXPECT_EQ(texts, "123456789");
    EXPECT_EQ(emptyNodes, 1);
}

TEST_F(VariableTableTest, ContextRecordIsNotTouched) {
    std::memset(&context_, 0xA5, sizeof context_);
    const ContextRecord before = context_;
    ASSERT_NE(Build(), nullptr);
    EXPECT_EQ(std::memcmp(&context_, &before, sizeof context_), 0);
}

TEST_F(VariableTableTest, ShortensTheFileAndMailNamesInPlace) {
    const std::string longName = Pattern(1000);
    CopyText(detail_.szFileName, longName);
    CopyText(detail_.szMailToName, longName);
    CopyText(detail_.szMailCCName, longName);
    CopyText(detail_.szMailFromName, Pattern(255));
    ASSERT_NE(Build(), nullptr);
    const std::string shortened = longName.substr(0, 128) + "..." + longName.substr(1000 - 135);
    EXPECT_EQ(FieldText(detail_.szFileName), shortened);
    EXPECT_EQ(FieldText(detail_.szMailToName), shortened);
    EXPECT_EQ(FieldText(detail_.szMailCCName), shortened);
    EXPECT_EQ(FieldText(detail_.szMailFromName), Pattern(255));
}

TEST_F(VariableTableTest, FreeingNoTableDoesNothing) {
    BlockWatch watch;
    FreeVariableTable(nullptr);
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(VariableTableTest, FreeReleasesEveryBlock) {
    BlockWatch watch;
    ASSERT_NE(Build(), nullptr);
    EXPECT_EQ(BlockWatch::Outstanding(), 1u + 10u + 9u);  // table, ten nodes, nine texts
    FreeVariableTable(table_);
    table_ = nullptr;
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Memory shortage: table, first node, then text and node in turn for each number.

TEST_F(VariableTableTest, WithoutMemoryForTheTableThereIsNoTable) {
    BlockWatch watch;
    FailAllocation(1);
    EXPECT_EQ(Build(), nullptr);
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(VariableTableTest, WithoutMemoryForTheFirstNodeThereIsNoTable) {
    BlockWatch watch;
    FailAllocation(2);
    EXPECT_EQ(Build(), nullptr);
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(VariableTableTest, MissingNumberTextLeavesOnlyThatVariableWithoutValue) {
    BlockWatch watch;
    FailAllocation(3);  // the SEVERITY text
    ASSERT_NE(Build(3, 12), nullptr);
    EXPECT_EQ(Slot(*table_, "SEVERITY").value, nullptr);
    EXPECT_STREQ(Slot(*table_, "TRAPID").value, "12");
    EXPECT_STREQ(Slot(*table_, "TSCLIENTID").value, "0");
    FreeVariableTable(table_);
    table_ = nullptr;
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(VariableTableTest, MissingNodeLeavesEveryLaterNumberWithoutValue) {
    BlockWatch watch;
    FailAllocation(4);  // the node behind the SEVERITY text
    message_.uSeverity = 2;
    std::strcpy(detail_.szVirusName, "Eicar");
    ASSERT_NE(Build(), nullptr);
    EXPECT_STREQ(Slot(*table_, "SEVERITY").value, "2");
    for (std::string_view token : kNumberTokens) {
        if (token != "SEVERITY") {
            EXPECT_EQ(Slot(*table_, token).value, nullptr) << token;
        }
    }
    EXPECT_STREQ(Slot(*table_, "VIRUSNAME").value, "Eicar");
    FreeVariableTable(table_);
    table_ = nullptr;
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

TEST_F(VariableTableTest, EveryFaultedBuildReleasesWhatItTook) {
    for (std::size_t nth = 1; nth <= 21; ++nth) {
        BlockWatch watch;
        FailAllocation(nth, true);
        VariableTable* table = BuildVariableTable(1, 2, &message_, &detail_, &context_);
        plat::testing::ClearAllocationFaults();
        FreeVariableTable(table);
        EXPECT_EQ(BlockWatch::Outstanding(), 0u) << "failing from allocation " << nth;
    }
}

// ---------------------------------------------------------------------------------------------

TEST(FormatNumberVariable, WithoutLastNodeMakesNothingAndTakesNoMemory) {
    NumberStringNode node{nullptr, nullptr};
    NumberStringList list{&node, nullptr};
    plat::testing::ClearAllocationFaults();
    EXPECT_EQ(FormatNumberVariable(list, 5), nullptr);
    EXPECT_EQ(plat::testing::AllocationCount(), 0u);
}

TEST(FormatNumberVariable, WritesTheSmallestNumberWithinSixteenBytes) {
    BlockWatch watch;
    NumberStringNode* first =
        static_cast<NumberStringNode*>(plat::Allocate(sizeof(NumberStringNode)));
    *first = {nullptr, nullptr};
    NumberStringList list{first, first};
    char* text = FormatNumberVariable(list, INT32_MIN);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "-2147483648");
    EXPECT_EQ(first->text, text);
    ASSERT_NE(list.last, nullptr);
    EXPECT_EQ(first->next, list.last);
    plat::Release(text);
    plat::Release(list.last);
    plat::Release(first);
    EXPECT_EQ(BlockWatch::Outstanding(), 0u);
}

// ---------------------------------------------------------------------------------------------

TEST(ShortenText, LeavesATextOf255CharactersWhole) {
    char field[1024] = {};
    CopyText(field, Pattern(255));
    ShortenText(field);
    EXPECT_EQ(FieldText(field), Pattern(255));
}

TEST(ShortenText, Of256CharactersSharesSevenCharactersBetweenHeadAndTail) {
    char field[1024] = {};
    const std::string text = Pattern(256);
    CopyText(field, text);
    EXPECT_EQ(ShortenText(field), field);
    EXPECT_EQ(FieldText(field), text.substr(0, 128) + "..." + text.substr(121));
    EXPECT_EQ(FieldText(field).size(), 266u);
}

TEST(ShortenText, FieldWithoutTerminatorCountsAsItsWholeWidth) {
    struct {
        char field[1024];
        char after[8];
    } record;
    std::memset(record.after, 'Z', sizeof record.after);
    const std::string text = Pattern(1024);
    std::memcpy(record.field, text.data(), sizeof record.field);
    ShortenText(record.field);
    EXPECT_EQ(FieldText(record.field), text.substr(0, 128) + "..." + text.substr(1024 - 135));
    EXPECT_EQ(std::string(record.after, 8), std::string(8, 'Z'));
}

}  // namespace
}  // namespace kx::test
