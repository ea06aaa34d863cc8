// numbers_test.cpp: a person's numbers, read or refused with a message naming what they were for.
#include "tools/admin/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tools/admin/errors.h"

namespace kx::tool {
namespace {

std::string RefusalOf(void (*parse)(const char*), const char* text) {
    try {
        parse(text);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "<accepted>";
}

TEST(Numbers, SignedNumbersReachBothEndsOfTheirRange) {
    EXPECT_EQ(ParseSigned("-2147483648", "e"), INT32_MIN);
    EXPECT_EQ(ParseSigned("2147483647", "e"), INT32_MAX);
    EXPECT_EQ(ParseSigned("-1", "e"), -1);
    EXPECT_EQ(ParseSigned("-0x10", "e"), -16);
    EXPECT_EQ(ParseUnsigned("0xFFFFFFFF", "u"), 0xFFFFFFFFu);
}

TEST(Numbers, RefusalsNameWhatTheNumberWasFor) {
    const auto asUnsigned = [](const char* text) { ParseUnsigned(text, "--product"); };
    const auto asSigned = [](const char* text) { ParseSigned(text, "--event"); };
    const struct {
        void (*parse)(const char*);
        const char* text;
        const char* refusal;
    } cases[] = {
        {asUnsigned, "twelve", "--product: 'twelve' is not a number"},
        {asUnsigned, "4294967296", "--product: 4294967296 does not fit 32 bits"},
        {asUnsigned, "", "--product: a number is needed"},
        {asUnsigned, "-1", "--product: '-1' is not a number"},
        {asSigned, "2147483648", "--event: 2147483648 is out of range"},
        {asSigned, "-2147483649", "--event: -2147483649 is out of range"},
        {asSigned, "-", "--event: a number is needed"},
    };
    for (const auto& c : cases) EXPECT_EQ(RefusalOf(c.parse, c.text), c.refusal) << c.text;
}

}  // namespace
}  // namespace kx::tool
