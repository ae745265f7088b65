// DCMP status and error messages: the lines they print, the link flags they
// set and the result that decides whether the running wait fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dcmp.h"
#include "state.h"
#include "testutil.h"

namespace {

struct Outcome {
    int rc;
    std::string out;
};

// Runs the handler on exactly `body`, so that a read past it shows under
// the address sanitizer; line numbers are blanked out of the output.
Outcome Handle(Bytes body)
{
    testing::internal::CaptureStdout();
    int rc = DcmpHandler((char*)body.data(), (uint16_t)body.size());
    std::string out = testing::internal::GetCapturedStdout();
    return {rc, BlankLineNumbers(out)};
}

Bytes Status(unsigned char code, uint16_t proto)
{
    return {2, code, 0, 0, (unsigned char)proto, (unsigned char)(proto >> 8)};
}

std::string StatusLines(const char* word, const char* proto)
{
    return std::string("dcmp.cpp(N): DCMP_TYPE_STATUS: ") + word +
           "\ndcmp.cpp(N): proto/node=" + proto + "\ndcmp.cpp(N): Received.\n";
}

TEST(Dcmp, StatusWordsAndFlags)
{
    struct {
        unsigned char code;
        uint16_t proto;
        const char* word;
        const char* shown;
        int ee, sample;  // flags afterwards, both starting at 0
    } cases[] = {
        {0, 0x45, "CONNECTED", "0x45", 1, 0},
        {0, 0x49, "CONNECTED", "0x49", 0, 0},
        {0, 0xe000, "CONNECTED", "0xe000", 0, 0},
        {1, 0xe000, "PROTO", "0xe000", 0, 1},
        {1, 0x0230, "PROTO", "0x230", 0, 0},
        {1, 0x45, "PROTO", "0x45", 0, 0},
        {2, 0x45, "UNLOCKED", "0x45", 0, 0},
        {3, 0xe000, "SPACE", "0xe000", 0, 0},
        {7, 0x45, "UNKNOWN", "0x45", 0, 0},
        {0xFF, 0xe000, "UNKNOWN", "0xe000", 0, 0},
    };
    for (auto& c : cases) {
        connected2ee = sampleProtoOpened = 0;
        Outcome o = Handle(Status(c.code, c.proto));
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out, StatusLines(c.word, c.shown));
        EXPECT_EQ(connected2ee, c.ee) << (int)c.code << " " << c.proto;
        EXPECT_EQ(sampleProtoOpened, c.sample) << (int)c.code << " " << c.proto;
    }

    // Set flags are only ever set here, never cleared.
    connected2ee = sampleProtoOpened = 1;
    Handle(Status(0, 0x49));
    Handle(Status(1, 0x0230));
    Handle(Status(0, 0x45));
    EXPECT_EQ(connected2ee, 1);
    EXPECT_EQ(sampleProtoOpened, 1);
}

TEST(Dcmp, ErrorsFailTheWait)
{
    const char* words[] = {"UNKNOWN", "NOPROTO",   "LOCKED", "NOSPACE",
                           "INVALHEAD", "NOCONNECT", "UNKNOWN"};
    for (unsigned char code = 0; code <= 6; code++) {
        Outcome o = Handle(Bytes{3, code, 0, 0, 0x45, 0});
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.out, std::string("dcmp.cpp(N): DCMP_TYPE_ERROR: ") + words[code] +
                             "\ndcmp.cpp(N): get DCMP_TYPE_ERROR message\n\n");
    }
}

TEST(Dcmp, OtherTypesAndShortBodiesAreHarmless)
{
    connected2ee = sampleProtoOpened = 0;
    for (unsigned char type : {0, 1, 4, 0xFF}) {
        Outcome o = Handle(Bytes{type, 0, 0, 0, 0x45, 0});
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out,
                  "dcmp.cpp(N): Unknown DCMP message\ndcmp.cpp(N): Received.\n");
    }
    Outcome o = Handle(Bytes{});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "dcmp.cpp(N): Unknown DCMP message\ndcmp.cpp(N): Received.\n");

    // A status without its node word cannot report the EE connected.
    struct {
        Bytes body;
        const char* word;
    } shorts[] = {{{2, 0, 0, 0, 0x45}, "CONNECTED"},
                  {{2, 1, 0, 0}, "PROTO"},
                  {{2, 0}, "CONNECTED"},
                  {{2}, "UNKNOWN"}};
    for (auto& s : shorts) {
        o = Handle(s.body);
        EXPECT_EQ(o.rc, 1);
        EXPECT_EQ(o.out, std::string("dcmp.cpp(N): DCMP_TYPE_STATUS: ") + s.word +
                             "\ndcmp.cpp(N): proto/node missing\n"
                             "dcmp.cpp(N): Received.\n");
    }
    EXPECT_EQ(connected2ee, 0);
    EXPECT_EQ(sampleProtoOpened, 0);

    // An error is an error even when its code is missing.
    o = Handle(Bytes{3});
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.out, "dcmp.cpp(N): DCMP_TYPE_ERROR: UNKNOWN\n"
                     "dcmp.cpp(N): get DCMP_TYPE_ERROR message\n\n");
}

}  // namespace
