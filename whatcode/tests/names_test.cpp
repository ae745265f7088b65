// The symbolic names built into the program on every platform.
#include <stdint.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "names.h"

namespace {

std::string Names(uint32_t value, size_t size = 256)
{
    char buf[256];
    memset(buf, 'x', sizeof buf);
    size_t n = FormatValueNames(value, buf, size);
    EXPECT_LT(n, size);
    EXPECT_EQ(strlen(buf), n);
    return buf;
}

TEST(Names, ValueByNameInAnyCase)
{
    const struct {
        const char* name;
        uint32_t value;
    } cases[] = {
        {"ERROR_SUCCESS", 0},
        {"error_access_denied", 5},
        {"Error_Sharing_Violation", 32},
        {"E_OUTOFMEMORY", 0x8007000Eu},
        {"e_accessdenied", 0x80070005u},
        {"E_INVALIDARG", 0x80070057u},
        {"RPC_E_CANTCALLOUT_ININPUTSYNCCALL", 0x8001010Du},
    };
    for (const auto& c : cases) {
        uint32_t v = 1;
        EXPECT_EQ(1, FindNamedValue(c.name, &v)) << c.name;
        EXPECT_EQ(c.value, v) << c.name;
    }
    // Whole names only: no prefix, no trailing text, no blank.
    for (const char* text : {"ERROR_ACCESS", "ERROR_ACCESS_DENIED_", " ERROR_ACCESS_DENIED", "", "E_"}) {
        uint32_t v = 7;
        EXPECT_EQ(0, FindNamedValue(text, &v)) << text;
        EXPECT_EQ(7u, v) << text;
    }
}

// A Win32-facility HRESULT takes the names of its code, before its own; no
// other facility is unwrapped.
TEST(Names, NamesOfAValue)
{
    EXPECT_EQ("ERROR_ACCESS_DENIED", Names(5));
    EXPECT_EQ("ERROR_ACCESS_DENIED E_ACCESSDENIED", Names(0x80070005u));
    EXPECT_EQ("ERROR_FILE_NOT_FOUND", Names(0x80070002u));
    EXPECT_EQ("", Names(0x00070002u));
    EXPECT_EQ("", Names(0x80060005u));
    EXPECT_EQ("", Names(999999));
    // A line cut to the buffer, never past it.
    EXPECT_EQ("ERROR_ACCESS_DENIED E_A", Names(0x80070005u, 24));
    EXPECT_EQ("ERR", Names(5, 4));
    EXPECT_EQ("", Names(5, 1));
}

TEST(Names, EveryNamedValueOnceInAscendingOrder)
{
    size_t cursor = 0;
    uint32_t v = 1, last = 0;
    size_t count = 0;
    bool sawHresult = false;
    ASSERT_EQ(1, NextNamedValue(&cursor, &v));
    EXPECT_EQ(0u, v);  // ERROR_SUCCESS comes first
    do {
        if (count > 0) {
            ASSERT_LT(last, v);
        }
        EXPECT_NE("", Names(v)) << std::hex << v;
        sawHresult |= v == 0x80070057u;
        last = v;
        count++;
    } while (NextNamedValue(&cursor, &v));
    EXPECT_GT(count, 5000u);
    EXPECT_TRUE(sawHresult);
    EXPECT_EQ(0, NextNamedValue(&cursor, &v));
}

TEST(Names, AllWordsInTheNamesOrTheText)
{
    char sharing[] = "SHARING", violation[] = "violation", access[] = "access",
         denied[] = "E_ACCESSDENIED", empty[] = "";
    char* words[] = {sharing, violation};
    const char* text = "The process cannot access the file because it is being used.";
    EXPECT_EQ(1, HoldsAllWords("ERROR_SHARING_VIOLATION", text, words, 2));
    EXPECT_EQ(0, HoldsAllWords("ERROR_LOCK_VIOLATION", text, words, 2));
    // One word from the names, one from the text.
    char* mixed[] = {sharing, access};
    EXPECT_EQ(1, HoldsAllWords("ERROR_SHARING_VIOLATION", text, mixed, 2));
    EXPECT_EQ(0, HoldsAllWords(NULL, text, mixed, 2));
    char* name[] = {denied};
    EXPECT_EQ(1, HoldsAllWords("ERROR_ACCESS_DENIED E_ACCESSDENIED", NULL, name, 1));
    EXPECT_EQ(0, HoldsAllWords("ERROR_ACCESS_DENIED", "Access is denied.", name, 1));
    // A word longer than the rest of the text, at its very end.
    char tail[] = "used.x";
    char* past[] = {tail};
    EXPECT_EQ(0, HoldsAllWords("", text, past, 1));
    char* none[] = {empty};
    EXPECT_EQ(1, HoldsAllWords("", "", none, 1));
}

}  // namespace
