#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "value.h"

namespace {

struct Case {
    const char* text;
    uint32_t value;
};

void ExpectValues(const Case* cases, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        uint32_t v = 12345;
        EXPECT_EQ(0, ConvertValue(cases[i].text, &v)) << '"' << cases[i].text << '"';
        EXPECT_EQ(cases[i].value, v) << '"' << cases[i].text << '"';
    }
}

TEST(ConvertValue, BasesPrefixesAndTrailingText)
{
    const Case cases[] = {
        {"2", 2},
        {"044", 36},
        {"0x8001010D", 0x8001010Du},
        {"0X1f", 31},
        {"0", 0},
        {"08", 0},       // 8 is no octal digit: the number is the 0
        {"0x", 0},       // no hex digit after the prefix: just the 0
        {"0xg", 0},
        {"12abc", 12},
        {" \t\n\v\f\r+7", 7},
        {"-0xg", 0},
        {"0x0000000000000000000000001", 1},  // leading zeros are no overflow
        {"000000000000000000000000044", 36},
    };
    ExpectValues(cases, sizeof cases / sizeof cases[0]);

    // No digit after the blanks and the sign: no number at all (a name,
    // perhaps), never 0.
    for (const char* text : {"abc", "?", "", "/5", "+-5", "- 5", " ", "-", "x1", "ERROR_ACCESS_DENIED"}) {
        uint32_t v = 12345;
        EXPECT_EQ(EINVAL, ConvertValue(text, &v)) << '"' << text << '"';
        EXPECT_EQ(0u, v) << '"' << text << '"';
    }
}

// The conversion must act as on a 32-bit unsigned long even where the host's
// is 64 bits wide.
TEST(ConvertValue, ThirtyTwoBitRangeAndNegation)
{
    const Case cases[] = {
        {"4294967295", 0xFFFFFFFFu},
        {"0xFFFFFFFF", 0xFFFFFFFFu},
        {"037777777777", 0xFFFFFFFFu},
        {"-1", 0xFFFFFFFFu},
        {"-4294967295", 1},
        {"-0x10", 0xFFFFFFF0u},
        {"-0", 0},
    };
    ExpectValues(cases, sizeof cases / sizeof cases[0]);

    const char* tooLarge[] = {
        "4294967296",
        "0x100000000",
        "040000000000",
        "-4294967296",
        "18446744073709551616",        // 2^64 would wrap to 0 in 64 bits
        "18446744073709551617",        // and this to 1
        "0x10000000000000001",
        "99999999999999999999999999999999999999",
        "  +4294967296xyz",
    };
    for (const char* text : tooLarge) {
        uint32_t v = 0;
        EXPECT_EQ(ERANGE, ConvertValue(text, &v)) << text;
        EXPECT_EQ(0xFFFFFFFFu, v) << text;
    }
}

std::string End(const char* text)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%s", text);
    unsigned n = EndMessageText(buf, (unsigned)strlen(buf));
    EXPECT_EQ(strlen(buf), n);
    return buf;
}

TEST(EndMessageText, DropsOnlyTheClosingLineBreak)
{
    EXPECT_EQ("Access is denied.", End("Access is denied.\r\n"));
    EXPECT_EQ("abc", End("abc\n"));
    EXPECT_EQ("", End("\r\n"));
    // A text without its line break keeps its last letters.
    EXPECT_EQ("Access is denied.", End("Access is denied."));
    EXPECT_EQ("ab", End("ab"));
    // Only the closing line break goes; earlier lines stay.
    EXPECT_EQ("one\r\ntwo", End("one\r\ntwo\r\n"));
    EXPECT_EQ("a\r\n", End("a\r\n\r\n"));
}

}  // namespace
