// The message lookup as the tests see it.
#ifndef WHATCODE_TESTS_LOOKUP_H
#define WHATCODE_TESTS_LOOKUP_H

#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "msg.h"

// The text for a value, "" when there is none. Checks the length the lookup
// reports and that a text ends with the system's line break.
inline std::string Lookup(uint32_t id)
{
    char* text = reinterpret_cast<char*>(1);
    unsigned n = LookupMessage(id, &text);
    if (n == 0) {
        EXPECT_EQ(nullptr, text) << id;
        return "";
    }
    EXPECT_NE(nullptr, text) << id;
    if (text == nullptr)
        return "";
    std::string s(text);
    FreeMessage(text);
    EXPECT_EQ(s.size(), n) << id;
    EXPECT_GE(s.size(), 2u) << id;
    if (s.size() >= 2) {
        EXPECT_EQ("\r\n", s.substr(s.size() - 2)) << id;
    }
    return s;
}

#endif
