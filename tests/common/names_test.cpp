// names_test.cpp: comparing names without regard to the case of ASCII letters.
#include "common/names.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

TEST(Names, LettersMatchTheirOtherCase) {
    EXPECT_TRUE(SameNameIgnoringCase("szTargetIP", "SZTARGETIP"));
    EXPECT_TRUE(SameNameIgnoringCase("HKLM\\", "hklm\\"));
    EXPECT_TRUE(SameNameIgnoringCase("", ""));
}

TEST(Names, DifferentLengthsOrCharactersNeverMatch) {
    EXPECT_FALSE(SameNameIgnoringCase("udp", "udp "));
    EXPECT_FALSE(SameNameIgnoringCase("tcp", "tcq"));
    // Only A to Z fold: '@' and '`' sit next to them but are different characters.
    EXPECT_FALSE(SameNameIgnoringCase("@", "`"));
    EXPECT_FALSE(SameNameIgnoringCase("[", "{"));
}

TEST(Names, BytesAboveAsciiAreComparedAsThemselves) {
    EXPECT_FALSE(SameNameIgnoringCase("\xC4", "\xE4"));
    EXPECT_TRUE(SameNameIgnoringCase("\xC4x", "\xC4X"));
}

}  // namespace
}  // namespace kx
