// severity_test.cpp: severities decided by the first byte of a stored "SEVERITY" value.
#include <gtest/gtest.h>

#include <array>
#include <ostream>
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

// An event's own SEVERITY value of each kind, and the severity it gives.
struct StoredValue {
    const char* name;
    void (*store)(RegFile& eventKey);
    std::uint32_t severity;
};

void PrintTo(const StoredValue& value, std::ostream* out) {
    *out << value.name;
}

const StoredValue kStoredValues[] = {
    {"DwordThreeGivesThree", [](RegFile& key) { key.Dword("SEVERITY", 3); }, 3},
    {"DwordSevenGivesOne", [](RegFile& key) { key.Dword("SEVERITY", 7); }, 1},
    {"Dword259GoesByItsLowByteToThree", [](RegFile& key) { key.Dword("SEVERITY", 259); }, 3},
    {"Dword256GoesByItsLowByteToZero", [](RegFile& key) { key.Dword("SEVERITY", 256); }, 0},
    {"StringThreeGivesOne", [](RegFile& key) { key.String("SEVERITY", "3"); }, 1},
    {"EmptyStringGivesZero", [](RegFile& key) { key.String("SEVERITY", ""); }, 0},
    {"ValueWithoutBytesReadsAsZero", [](RegFile& key) { key.Hex("SEVERITY", {}); }, 0},
};

class StoredSeverityValue : public StoredSeverityTest,
                            public ::testing::WithParamInterface<StoredValue> {};

TEST_P(StoredSeverityValue, GivesItsSeverity) {
    RegFile reg;
    GetParam().store(Event(reg));
    EXPECT_EQ(EventSeverity(reg), GetParam().severity);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StoredSeverityValue, ::testing::ValuesIn(kStoredValues),
                         [](const ::testing::TestParamInfo<StoredValue>& info) {
                             return std::string(info.param.name);
                         });

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
