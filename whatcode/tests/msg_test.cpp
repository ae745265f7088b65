#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "lookup.h"
#include "msg.h"

namespace {

TEST(LookupMessage, KnownAndUnknownValues)
{
    EXPECT_GT(Lookup(2).size(), 2u);
    EXPECT_EQ("", Lookup(0xFFFFFFFFu));
    EXPECT_EQ("", Lookup(999999));
    FreeMessage(nullptr);
}

// Texts with inserts must come back with the inserts as they stand rather
// than not at all.
TEST(LookupMessage, TextsWithInsertsAreFound)
{
    std::string badExe = Lookup(193);
    EXPECT_NE(std::string::npos, badExe.find("%1")) << badExe;
}

TEST(LookupMessage, Win32FacilityHresultReadsAsItsCode)
{
    EXPECT_EQ(Lookup(5), Lookup(0x80070005u));
    EXPECT_EQ(Lookup(2), Lookup(0x80070002u));
    EXPECT_NE("", Lookup(0x80070005u));
}

}  // namespace
