#include <gtest/gtest.h>

#include <string>

#include "command_line/number.h"

namespace {

struct Case {
    std::string text;
    int32_t value;
};

TEST(ParseNumber, ReadsLikeAtolAndSaturates) {
    const Case cases[] = {
        {"5", 5},
        {"512", 512},
        {"", 0},
        {"x", 0},
        {"5s", 5},
        {"+5", 5},
        {"-5", -5},
        {" \t\n\v\f\r7", 7},
        {"- 5", 0},
        {"+-5", 0},
        {"007", 7},
        {"1e3", 1},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"4294967301", 2147483647},   // would wrap to 5 if the value were cut to 32 bits
        {"-4294967291", -2147483647 - 1},
        {std::string(5000, '9'), 2147483647},
        {"-" + std::string(5000, '9'), -2147483647 - 1},
        {std::string(5000, '0') + "42", 42},
        {"\xc2\xa0" "5", 0},          // a non-ASCII blank is not white space
        {"5\xff", 5},
    };
    for (const Case& c : cases) EXPECT_EQ(wdt::parse_number(c.text.c_str()), c.value) << '"' << c.text << '"';
}

}  // namespace
