#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "image/Errors.h"
#include "image/IntConv.h"

namespace kw {
namespace {

struct ConvCase {
    std::string text;
    std::optional<std::int32_t> value;
};

void PrintTo(const ConvCase& c, std::ostream* os) {
    *os << "\"" << c.text << "\"";
}

class IntConvTest : public ::testing::TestWithParam<ConvCase> {};

TEST_P(IntConvTest, ConvertsOrRefusesWithTheStandardMessage) {
    const auto& [text, value] = GetParam();
    EXPECT_EQ(tryStrToInt(text), value);
    if (value) {
        EXPECT_EQ(strToInt(text), *value);
    } else {
        try {
            strToInt(text);
            FAIL() << "no ConvertError";
        } catch (const ConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + text + "' is not a valid integer value");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntConvTest,
    ::testing::Values(
        // Decimal, as the size boxes hold it.
        ConvCase{"0", 0}, ConvCase{"4096", 4096}, ConvCase{"-17", -17}, ConvCase{"007", 7},
        ConvCase{"2147483647", INT_MAX}, ConvCase{"-2147483648", INT_MIN},
        ConvCase{"2147483648", std::nullopt}, ConvCase{"-2147483649", std::nullopt},
        ConvCase{"99999999999999999999", std::nullopt},
        // Hexadecimal after 0x, 0X or $, digits in either case, up to 32 bits.
        ConvCase{"0x1F", 31}, ConvCase{"0X1f", 31}, ConvCase{"$ff", 255}, ConvCase{"0xA", 10},
        ConvCase{"0x7FFFFFFF", INT_MAX}, ConvCase{"0xFFFFFFFF", -1}, ConvCase{"0x00000000FF", 255},
        ConvCase{"0x100000000", std::nullopt},
        // Refused.
        ConvCase{"", std::nullopt}, ConvCase{"0x", std::nullopt}, ConvCase{"$", std::nullopt},
        ConvCase{"-", std::nullopt}, ConvCase{"+1", std::nullopt}, ConvCase{" 1", std::nullopt},
        ConvCase{"1 ", std::nullopt}, ConvCase{"12a", std::nullopt}, ConvCase{"0xG1", std::nullopt},
        ConvCase{"0x 1", std::nullopt}, ConvCase{"-0x1", std::nullopt},
        ConvCase{"0x-1", std::nullopt}, ConvCase{"FF", std::nullopt}));

} // namespace
} // namespace kw
