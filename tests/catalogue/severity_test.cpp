// severity_test.cpp: severities decided by the first byte of a stored "SEVERITY" value.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "catalogue/definitions.h"
#include "catalogue_fixture.h"

namespace kx::test {
namespace {

TEST(ParseSeverity, FirstByteZeroToFourIsTheSeverity) {
    for (unsigned char first = 0; first <= 4; ++first) {
        const std::array<unsigned char, 4> data{first, 9, 9, 9};
        EXPECT_EQ(ParseSeverity(data.data()), first);
    }
}

TEST(ParseSeverity, AnyOtherFirstByteIsOne) {
    for (unsigned first : {5u, 0x30u, 0x33u, 0x7Fu, 0xFFu}) {
        const std::array<unsigned char, 4> data{static_cast<unsigned char>(first), 2, 0, 0};
        EXPECT_EQ(ParseSeverity(data.data()), 1u) << "first byte " << first;
    }
}

// ---------------------------------------------------------------------------------------------
// Stored values of each kind, read through an event key.

class StoredSeverityTest : public CatalogueTest {
  protected:
    std::uint32_t EventSeverity(RegFile& reg) {
        Install(reg);
        LoadMessageDefaults();
        MessageRecord message{};
        DetailRecord detail{};
        message.uSeverity = 77;
        EXPECT_EQ(LoadMessageDefinition(5, &message, &detail), 1);
        return message.uSeverity;
    }
    RegFile& Event(RegFile& reg) { return reg.Key(EventKey("0407", 5)).String("ID", "e"); }
};

TEST_F(StoredSeverityTest, DwordThreeGivesThree) {
    RegFile reg;
    Event(reg).Dword("SEVERITY", 3);
    EXPECT_EQ(EventSeverity(reg), 3u);
}

TEST_F(StoredSeverityTest, StringThreeGivesOne) {
    RegFile reg;
    Event(reg).String("SEVERITY", "3");
    EXPECT_EQ(EventSeverity(reg), 1u);
}

TEST_F(StoredSeverityTest, DwordSevenGivesOne) {
    RegFile reg;
    Event(reg).Dword("SEVERITY", 7);
    EXPECT_EQ(EventSeverity(reg), 1u);
}

TEST_F(StoredSeverityTest, DwordGoesByItsLowByte) {
    RegFile reg259;
    Event(reg259).Dword("SEVERITY", 259);
    EXPECT_EQ(EventSeverity(reg259), 3u);
    RegFile reg256;
    Event(reg256).Dword("SEVERITY", 256);
    EXPECT_EQ(EventSeverity(reg256), 0u);
}

TEST_F(StoredSeverityTest, EmptyStringGivesZero) {
    RegFile reg;
    Event(reg).String("SEVERITY", "");
    EXPECT_EQ(EventSeverity(reg), 0u);
}

TEST_F(StoredSeverityTest, ValueWithoutBytesReadsAsZero) {
    RegFile reg;
    Event(reg).Hex("SEVERITY", {});
    EXPECT_EQ(EventSeverity(reg), 0u);
}

TEST_F(StoredSeverityTest, MissingTakesTheDefaultSeverity) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").Dword("SEVERITY", 4);
    Event(reg);
    EXPECT_EQ(EventSeverity(reg), 4u);
}

TEST_F(StoredSeverityTest, MissingEverywhereGivesOne) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic");
    Event(reg);
    EXPECT_EQ(EventSeverity(reg), 1u);
}

TEST_F(StoredSeverityTest, ValueLargerThan32BytesCountsAsMissing) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").Dword("SEVERITY", 2);
    Event(reg).Hex("SEVERITY", std::vector<std::uint8_t>(33, 4));
    EXPECT_EQ(EventSeverity(reg), 2u);
}

TEST_F(StoredSeverityTest, DefaultsSeverityGoesByItsFirstByteToo) {
    RegFile reg;
    reg.Key(DefaultsKey("0407")).String("ID", "Generic").String("SEVERITY", "4");
    Install(reg);
    ASSERT_EQ(LoadMessageDefaults(), 1);
    EXPECT_EQ(MessageDefaults.uSeverity, 1u);
}

}  // namespace
}  // namespace kx::test
