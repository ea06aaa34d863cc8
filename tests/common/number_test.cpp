// number_test.cpp: the one reader of decimal and 0x hexadecimal numbers.
#include "common/number.h"

#include <gtest/gtest.h>

#include <string_view>

namespace kx {
namespace {

struct NumberCase {
    std::string_view text;
    std::uint32_t value;
    NumberError error;
};

TEST(Number, EveryWrittenFormReadsAsItsValueOrItsFirstFault) {
    const NumberCase cases[] = {
        {"0", 0, NumberError::kNone},
        {"16", 16, NumberError::kNone},
        {"0x10", 16, NumberError::kNone},
        {"0X1f", 31, NumberError::kNone},
        {"0xFFFFFFFF", 0xFFFFFFFFu, NumberError::kNone},
        {"4294967295", 0xFFFFFFFFu, NumberError::kNone},
        {"007", 7, NumberError::kNone},
        {"4294967296", 0, NumberError::kTooLarge},
        {"0x100000000", 0, NumberError::kTooLarge},
        {"99999999999x", 0, NumberError::kTooLarge},
        {"", 0, NumberError::kEmpty},
        {"0x", 0, NumberError::kNotANumber},
        {"1f", 0, NumberError::kNotANumber},
        {"-1", 0, NumberError::kNotANumber},
        {" 1", 0, NumberError::kNotANumber},
        {"0xg", 0, NumberError::kNotANumber},
    };
    for (const NumberCase& c : cases) {
        const ParsedNumber parsed = ParseDecimalOrHex(c.text);
        EXPECT_EQ(parsed.error, c.error) << '"' << c.text << '"';
        EXPECT_EQ(parsed.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(parsed.ok(), c.error == NumberError::kNone) << '"' << c.text << '"';
    }
}

}  // namespace
}  // namespace kx
