// definitions_test.cpp: the language's default texts and the reading of one event's definition
// from the per-language catalogue.
#include "catalogue/definitions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "catalogue_fixture.h"

namespace kx::test {
namespace {

constexpr char kBuiltInAppendPIII[] =
    "(from %COMPUTERNAME% Serial# %PROCESSORSERIAL% IP %SOURCEIP% user %USERNAME% running "
    "%SOFTWARENAME% %SOFTWAREVERSION% %TASKNAME%)";

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

int gOpens = 0;
plat::Status CountingOpen(const char* path, plat::HKey* key) {
    ++gOpens;
    return plat::DefaultHooks().RegOpenKeyExA(path, key);
}

class MessageDefaultsTest : public CatalogueTest {};

TEST_F(MessageDefaultsTest, ReadsEveryDefaultOfTheCurrentLanguage) {
    RegFile reg;
    reg.Key(DefaultsKey("0407"))
        .String("ID", "Generic Event")
        .String("SHORTDESCRIPT", "Something")
        .String("LONGDESCRIPT", "Something happened")
        .String("URL", "http://help.example/")
        .String("RESOLUTION", "Call support")
        .Dword("SEVERITY", 3)
        .String("Append", "(on %COMPUTERNAME%)")
        .String("AppendPIII", "(serial %PROCESSORSERIAL%)");
    reg.Key(DefaultsKey("0901")).String("ID", "Fallback Event");
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_STREQ(MessageDefaults.szEventName, "Generic Event");
    EXPECT_STREQ(MessageDefaults.szShortDescript, "Something");
    EXPECT_STREQ(MessageDefaults.szLongDescript, "Something happened");
    EXPECT_STREQ(MessageDefaults.szURL, "http://help.example/");
    EXPECT_STREQ(MessageDefaults.szResolution, "Call support");
    EXPECT_EQ(MessageDefaults.uSeverity, 3u);
    EXPECT_STREQ(MessageDefaults.szAppend, "(on %COMPUTERNAME%)");
    EXPECT_STREQ(MessageDefaults.szAppendPIII, "(serial %PROCESSORSERIAL%)");
}

TEST_F(MessageDefaultsTest, FallsBackToTheDefaultsOf0901) {
    RegFile reg;
    reg.Key(DefaultsKey("0901")).String("ID", "Fallback Event").String("URL", "u");
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_STREQ(MessageDefaults.szEventName, "Fallback Event");
    EXPECT_STREQ(MessageDefaults.szURL, "u");
}

TEST_F(MessageDefaultsTest, WithoutAnyDefaultsKeyReturnsZeroAndStaysEmpty) {
    RegFile reg;
    reg.Key(EventKey("0407", 1)).String("ID", "x");
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 0);
    EXPECT_STREQ(MessageDefaults.szEventName, "");
    EXPECT_STREQ(MessageDefaults.szAppendPIII, "");
    EXPECT_EQ(MessageDefaults.uSeverity, 0u);
}

TEST_F(MessageDefaultsTest, MissingSeverityAndAppendPIIIGiveOneAndTheBuiltInText) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic Event");
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_EQ(MessageDefaults.uSeverity, 1u);
    EXPECT_STREQ(MessageDefaults.szAppendPIII, kBuiltInAppendPIII);
    EXPECT_STREQ(MessageDefaults.szAppend, "");
}

TEST_F(MessageDefaultsTest, LoadedDefaultsAreNotReadAgain) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic Event");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);

    gOpens = 0;
    plat::testing::ScopedHook<&plat::HookTable::RegOpenKeyExA> hook(&CountingOpen);
    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_EQ(gOpens, 0);
}

TEST_F(MessageDefaultsTest, DefaultsWithoutIdLoadButStayUnmarked) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("URL", "http://help.example/");
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_STREQ(MessageDefaults.szURL, "http://help.example/");
    gOpens = 0;
    plat::testing::ScopedHook<&plat::HookTable::RegOpenKeyExA> hook(&CountingOpen);
    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_EQ(gOpens, 1);
}

TEST_F(MessageDefaultsTest, ValueLargerThanItsBufferLeavesTheDefaultAsItWas) {
    std::strcpy(MessageDefaults.szShortDescript, "earlier");
    RegFile reg;
    reg.Key(DefaultsKey("0407"))
        .String("ID", "Generic Event")
        .String("SHORTDESCRIPT", std::string(32, 's'))   // 33 bytes with the terminator
        .String("LONGDESCRIPT", std::string(255, 'l'));  // exactly 256 bytes
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_STREQ(MessageDefaults.szShortDescript, "earlier");
    EXPECT_EQ(std::string(MessageDefaults.szLongDescript), std::string(255, 'l'));
}

TEST_F(MessageDefaultsTest, TextFillingItsBufferWithoutTerminatorIsCutInside) {
    RegFile reg;
    reg.Key(DefaultsKey("0407"))
        .String("ID", "Generic Event")
        .Hex("SHORTDESCRIPT", Bytes(std::string(32, 's')));
    Install(reg);

    EXPECT_EQ(LoadMessageDefaults(), 1);
    EXPECT_EQ(FieldText(MessageDefaults.szShortDescript), std::string(31, 's'));
}

// ---------------------------------------------------------------------------------------------

class MessageDefinitionTest : public CatalogueTest {
  protected:
    MessageRecord message_{};
    DetailRecord detail_{};
};

TEST_F(MessageDefinitionTest, ReadsEveryValueOfTheEventKey) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").String("Append", "(on %COMPUTERNAME%)");
    reg.Key(EventKey("0407", 1024))
        .String("ID", "Virus Found")
        .String("SHORTDESCRIPT", "Virus")
        .String("LONGDESCRIPT", "The virus %VIRUSNAME% was found")
        .String("URL", "http://help.example/virus")
        .String("RESOLUTION", "Clean the file")
        .Dword("SEVERITY", 4)
        .String("Always Alert", "1");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);

    EXPECT_EQ(LoadMessageDefinition(1024, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "Virus Found");
    EXPECT_STREQ(message_.szShortDescript, "Virus");
    EXPECT_STREQ(message_.szLongDescript, "The virus %VIRUSNAME% was found. (on %COMPUTERNAME%)");
    EXPECT_STREQ(message_.szURL, "http://help.example/virus");
    EXPECT_STREQ(message_.szResolution, "Clean the file");
    EXPECT_EQ(message_.uSeverity, 4u);
    EXPECT_EQ(detail_.bAlwaysAlert, 1u);
}

TEST_F(MessageDefinitionTest, EventKeyOnlyUnder0901TakesTheCurrentLanguagesDefaults) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").String("URL", "current-language url");
    reg.Key(DefaultsKey("0901")).String("ID", "Generic 0901").String("URL", "fallback url");
    reg.Key(EventKey("0901", 7)).String("ID", "From 0901");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);

    EXPECT_EQ(LoadMessageDefinition(7, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "From 0901");
    EXPECT_STREQ(message_.szURL, "current-language url");
}

TEST_F(MessageDefinitionTest, CurrentLanguageIsPreferredOver0901) {
    RegFile reg;
    reg.Key(EventKey("0407", 7)).String("ID", "Deutsch");
    reg.Key(EventKey("0901", 7)).String("ID", "English");
    Install(reg);

    EXPECT_EQ(LoadMessageDefinition(7, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "Deutsch");
}

TEST_F(MessageDefinitionTest, NegativeEventNumberNamesASignedKey) {
    RegFile reg;
    reg.Key(EventKey("0407", -5)).String("ID", "Negative");
    Install(reg);

    EXPECT_EQ(LoadMessageDefinition(-5, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "Negative");
}

TEST_F(MessageDefinitionTest, WithoutEventKeyReturnsZeroAndLeavesRecordsUntouched) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").String("LONGDESCRIPT", "x");
    reg.Key(EventKey("0407", 8)).String("ID", "Other event");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);
    std::memset(&message_, 0x5A, sizeof message_);
    std::memset(&detail_, 0x5A, sizeof detail_);
    const MessageRecord messageBefore = message_;
    const DetailRecord detailBefore = detail_;

    EXPECT_EQ(LoadMessageDefinition(9, &message_, &detail_), 0);
    EXPECT_EQ(std::memcmp(&message_, &messageBefore, sizeof message_), 0);
    EXPECT_EQ(std::memcmp(&detail_, &detailBefore, sizeof detail_), 0);
}

TEST_F(MessageDefinitionTest, MissingValuesTakeTheDefaults) {
    RegFile reg;
    reg.Key(DefaultsKey("0407"))
        .String("ID", "Generic")
        .String("SHORTDESCRIPT", "default short")
        .String("LONGDESCRIPT", "default long.")
        .String("URL", "default url")
        .String("RESOLUTION", "default resolution")
        .Dword("SEVERITY", 2)
        .String("Append", "A");
    reg.Key(EventKey("0407", 3)).String("Unrelated", "value");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);
    std::strcpy(detail_.szEventName, "caller's");
    std::strcpy(message_.szURL, "caller's");
    detail_.bAlwaysAlert = 1;

    EXPECT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "Generic");
    EXPECT_STREQ(message_.szShortDescript, "default short");
    EXPECT_STREQ(message_.szLongDescript, "default long.A");
    EXPECT_STREQ(message_.szURL, "default url");
    EXPECT_STREQ(message_.szResolution, "default resolution");
    EXPECT_EQ(message_.uSeverity, 2u);
    EXPECT_EQ(detail_.bAlwaysAlert, 0u);
}

TEST_F(MessageDefinitionTest, WithoutAnyDefaultsKeyGapsBecomeEmptyWithSeverityZero) {
    RegFile reg;
    reg.Key(EventKey("0407", 3)).String("ID", "Only a name");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 0);
    std::strcpy(message_.szResolution, "caller's");

    EXPECT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_STREQ(message_.szShortDescript, "");
    EXPECT_STREQ(message_.szLongDescript, ". ");
    EXPECT_STREQ(message_.szResolution, "");
    EXPECT_EQ(message_.uSeverity, 0u);
}

TEST_F(MessageDefinitionTest, OtherFieldsOfTheRecordsAreNotTouched) {
    RegFile reg;
    reg.Key(EventKey("0407", 3)).String("ID", "x");
    Install(reg);
    std::memset(&message_, 0x5A, sizeof message_);
    std::memset(&detail_, 0x5A, sizeof detail_);
    detail_.szProcessorSerial[0] = '\0';
    MessageRecord expectedMessage = message_;
    DetailRecord expectedDetail = detail_;

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    std::memcpy(expectedDetail.szEventName, detail_.szEventName, sizeof detail_.szEventName);
    expectedDetail.bAlwaysAlert = detail_.bAlwaysAlert;
    std::memcpy(expectedMessage.szShortDescript, message_.szShortDescript,
                sizeof message_.szShortDescript);
    std::memcpy(expectedMessage.szLongDescript, message_.szLongDescript,
                sizeof message_.szLongDescript);
    std::memcpy(expectedMessage.szURL, message_.szURL, sizeof message_.szURL);
    std::memcpy(expectedMessage.szResolution, message_.szResolution, sizeof message_.szResolution);
    expectedMessage.uSeverity = message_.uSeverity;
    EXPECT_EQ(std::memcmp(&message_, &expectedMessage, sizeof message_), 0);
    EXPECT_EQ(std::memcmp(&detail_, &expectedDetail, sizeof detail_), 0);
}

TEST_F(MessageDefinitionTest, ValuesAreTakenRawWhateverTheirType) {
    RegFile reg;
    reg.Key(EventKey("0407", 3))
        .Hex("ID", Bytes(std::string("Expandable\0", 11)), 2)
        .Hex("URL", Bytes("binary url"));
    Install(reg);

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "Expandable");
    EXPECT_STREQ(message_.szURL, "binary url");
}

TEST_F(MessageDefinitionTest, OversizedValuesCountAsMissing) {
    RegFile reg;
    reg.Key(DefaultsKey("0407"))
        .String("ID", "default name")
        .String("URL", "default url")
        .String("LONGDESCRIPT", "default long.");
    reg.Key(EventKey("0407", 3))
        .String("ID", std::string(64, 'i'))
        .String("URL", std::string(256, 'u'))
        .String("LONGDESCRIPT", std::string(1024, 'l'));
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_STREQ(detail_.szEventName, "default name");
    EXPECT_STREQ(message_.szURL, "default url");
    EXPECT_STREQ(message_.szLongDescript, "default long.");
}

// ---------------------------------------------------------------------------------------------
// The joiner and the append text.

class LongDescriptionTest : public MessageDefinitionTest {
  protected:
    void InstallWith(RegFile& reg) {
        reg.Key(DefaultsKey("0407"))
            .String("ID", "Generic")
            .String("Append", "[plain]")
            .String("AppendPIII", "[serial]");
        Install(reg);
        ASSERT_EQ(LoadMessageDefaults(), 1);
    }
    std::string Read(const std::string& description) {
        RegFile reg;
        reg.Key(EventKey("0407", 3)).String("LONGDESCRIPT", description);
        InstallWith(reg);
        EXPECT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
        return std::string(FieldText(message_.szLongDescript));
    }
};

TEST_F(LongDescriptionTest, WithoutFullStopGetsJoinerThenAppendText) {
    EXPECT_EQ(Read("Virus found"), "Virus found. [plain]");
}

TEST_F(LongDescriptionTest, EndingInFullStopTakesTheAppendTextDirectly) {
    EXPECT_EQ(Read("Virus found."), "Virus found.[plain]");
}

TEST_F(LongDescriptionTest, EmptyValueGetsJoinerThenAppendText) {
    EXPECT_EQ(Read(""), ". [plain]");
}

TEST_F(LongDescriptionTest, MissingValueWithEmptyDefaultGetsJoinerThenAppendText) {
    RegFile reg;
    reg.Key(EventKey("0407", 3)).String("ID", "x");
    InstallWith(reg);

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_STREQ(message_.szLongDescript, ". [plain]");
}

TEST_F(LongDescriptionTest, ProcessorSerialInTheRecordSelectsAppendPIII) {
    std::strcpy(detail_.szProcessorSerial, "00000001 00000002 00000003");
    EXPECT_EQ(Read("Virus found"), "Virus found. [serial]");
}

TEST_F(LongDescriptionTest, BuiltInAppendPIIIWhenTheDefaultsHaveNone) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic");
    reg.Key(EventKey("0407", 3)).String("LONGDESCRIPT", "Found");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);
    std::strcpy(detail_.szProcessorSerial, "caller's serial");

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_EQ(std::string(message_.szLongDescript), std::string("Found. ") + kBuiltInAppendPIII);
}

TEST_F(LongDescriptionTest, Of1023CharactersIsLeftUnchanged) {
    const std::string description(1023, 'd');
    EXPECT_EQ(Read(description), description);
}

TEST_F(LongDescriptionTest, WhatDoesNotFitOfJoinerAndAppendTextIsDropped) {
    const std::string description(1022, 'd');
    EXPECT_EQ(Read(description), description + ".");
    const std::string shorter(1015, 'd');
    EXPECT_EQ(Read(shorter), shorter + ". [plain");
}

TEST_F(LongDescriptionTest, ValueOf1024BytesWithoutTerminatorEndsTerminatedAt1023) {
    RegFile reg;
    reg.Key(EventKey("0407", 3)).Hex("LONGDESCRIPT", Bytes(std::string(1024, 'x')));
    InstallWith(reg);
    std::memset(message_.szResolution, 'r', sizeof message_.szResolution);

    ASSERT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
    EXPECT_EQ(FieldText(message_.szLongDescript), std::string(1023, 'x'));
}

// ---------------------------------------------------------------------------------------------
// "Always Alert": decided by the character '1'.

class AlwaysAlertTest : public MessageDefinitionTest {
  protected:
    std::uint32_t Flag(RegFile& reg) {
        Install(reg);
        detail_.bAlwaysAlert = 7;
        EXPECT_EQ(LoadMessageDefinition(3, &message_, &detail_), 1);
        return detail_.bAlwaysAlert;
    }
    RegFile& Event(RegFile& reg) { return reg.Key(EventKey("0407", 3)).String("ID", "x"); }
};

TEST_F(AlwaysAlertTest, StringOneSetsTheFlag) {
    RegFile reg;
    Event(reg).String("Always Alert", "1");
    EXPECT_EQ(Flag(reg), 1u);
}

TEST_F(AlwaysAlertTest, StringBeginningWithOneSetsTheFlag) {
    RegFile reg;
    Event(reg).String("Always Alert", "10");
    EXPECT_EQ(Flag(reg), 1u);
}

TEST_F(AlwaysAlertTest, StringZeroClearsTheFlag) {
    RegFile reg;
    Event(reg).String("Always Alert", "0");
    EXPECT_EQ(Flag(reg), 0u);
}

TEST_F(AlwaysAlertTest, DwordOneClearsTheFlag) {
    RegFile reg;
    Event(reg).Dword("Always Alert", 1);
    EXPECT_EQ(Flag(reg), 0u);
}

TEST_F(AlwaysAlertTest, DwordFortyNineSetsTheFlag) {
    RegFile reg;
    Event(reg).Dword("Always Alert", 49);
    EXPECT_EQ(Flag(reg), 1u);
}

TEST_F(AlwaysAlertTest, MissingValueClearsTheFlag) {
    RegFile reg;
    Event(reg);
    EXPECT_EQ(Flag(reg), 0u);
}

TEST_F(AlwaysAlertTest, OversizedValueCountsAsMissing) {
    RegFile reg;
    Event(reg).String("Always Alert", "1" + std::string(40, '1'));
    EXPECT_EQ(Flag(reg), 0u);
}

}  // namespace
}  // namespace kx::test
