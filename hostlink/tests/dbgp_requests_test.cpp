// The DBGP loader's requests byte for byte, and how segments are cut into
// memory writes to the target's alignment codes and size limits.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "dbgp_fixture.h"

namespace {

TEST_F(Dbgp, ConfigurationAndRunRequestsByteForByte)
{
    void* g = DbgpMakeGetconf();
    ASSERT_NE(g, nullptr);
    Bytes expect(84, 0);
    expect[0] = 84;
    expect[4] = 0x30;
    expect[5] = 0x02;
    expect[6] = 'H';
    expect[7] = 'E';
    EXPECT_TRUE(Bytes((unsigned char*)g, (unsigned char*)g + 84) == expect);
    free(g);

    // No arguments: the program's own name alone, 36 + 4 + 7 bytes.
    unsigned char* r = (unsigned char*)DbgpMakeRun(0x00100000, 0x00108320, 0, NULL);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(GetLE16(r), 47);
    EXPECT_EQ(GetLE16(r + 4), PROTO_DBGP);
    EXPECT_EQ(r[8 + DBGP_OFF_TYPE], DBGP_TYPE_RUN);
    EXPECT_EQ(r[8 + DBGP_OFF_COUNT], 1);
    EXPECT_EQ(GetLE32(r + 16), 0x00100000u);
    EXPECT_EQ(GetLE32(r + 20), 0x00108320u);
    EXPECT_EQ(GetLE32(r + 24), 0u);
    EXPECT_EQ(GetLE32(r + 28), 0u);
    EXPECT_EQ(GetLE32(r + 32), 1u);
    EXPECT_EQ(GetLE32(r + 36), 7u);
    EXPECT_EQ(memcmp(r + 40, "hlink6", 7), 0);
    free(r);

    // Two arguments: lengths, not addresses, then the strings back to back.
    char a0[] = "-x", a1[] = "y";
    char* argv[] = {a0, a1};
    EXPECT_EQ(CalcArgvLen(2, argv), 12);
    r = (unsigned char*)DbgpMakeRun(1, 2, 2, argv);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(GetLE16(r), 60);
    EXPECT_EQ(GetLE32(r + 32), 3u);
    EXPECT_EQ(GetLE32(r + 36), 7u);
    EXPECT_EQ(GetLE32(r + 40), 3u);
    EXPECT_EQ(GetLE32(r + 44), 2u);
    EXPECT_EQ(memcmp(r + 48, "hlink6\0-x\0y", 12), 0);
    free(r);

    // The longest argument that still fits one packet, and one byte more.
    std::string big(65535 - 36 - 8 - 7 - 1, 'a');
    char* bigv[] = {&big[0]};
    r = (unsigned char*)DbgpMakeRun(1, 2, 1, bigv);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(GetLE16(r), 65535);
    EXPECT_EQ(r[65534], 0);
    free(r);
    big += 'a';
    bigv[0] = &big[0];
    EXPECT_EQ(DbgpMakeRun(1, 2, 1, bigv), nullptr);
}

TEST_F(Dbgp, BulkCodeIsTheHighestListedUpToTen)
{
    const struct {
        uint32_t memAlign;
        int code;
    } cases[] = {{0x1f, 4}, {0x400, 10}, {0x7ff, 10}, {0x1, 0}, {0, -1}, {0xfffff800, -1}};
    for (const auto& c : cases) {
        SetConf(Conf(c.memAlign));
        EXPECT_EQ(DbgpMaxMemAlign(), c.code) << std::hex << c.memAlign;
    }
}

TEST_F(Dbgp, SegmentIsCutIntoHeadBulkAndTail)
{
    // Code 4 from 0x00100008: 8 single bytes up to the boundary, whole units
    // after 4 zero bytes of padding, then the 11 bytes left.
    std::vector<Write> w = Load(0x00100008, 4099);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].adr, 0x00100008u);
    EXPECT_EQ(w[0].n, 8u);
    EXPECT_EQ(w[0].total, 36u);
    EXPECT_EQ(w[1].k, 4);
    EXPECT_EQ(w[1].adr, 0x00100010u);
    EXPECT_EQ(w[1].n, 4080u);
    EXPECT_EQ(w[1].total, 4112u);
    EXPECT_EQ(w[2].k, 0);
    EXPECT_EQ(w[2].adr, 0x00101000u);
    EXPECT_EQ(w[2].n, 11u);
    EXPECT_EQ(w[2].total, 39u);

    // A segment shorter than the way to the first boundary is all head.
    sent.clear();
    w = Load(0x00100001, 5);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].k, 0);
}

TEST_F(Dbgp, LargeSegmentsFillEveryPacketToTheLengthLimit)
{
    std::vector<Write> w = Load(0x00100000, 200000);
    ASSERT_EQ(w.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(w[i].k, 4);
        EXPECT_EQ(w[i].n, 65488u);
        EXPECT_EQ(w[i].total, 65520u);
    }
    EXPECT_EQ(w[3].n, 3536u);

    // No usable code at all: single bytes, 65507 to a full 65535-byte packet.
    SetConf(Conf(0));
    sent.clear();
    w = Load(0x00100001, 70000);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].total, 65535u);
    EXPECT_EQ(w[1].n, 70000u - 65507u);

    // Code 10: 996 bytes of padding put the data at offset 1024.
    SetConf(Conf(0x400));
    sent.clear();
    w = Load(0x00100003, 200000);
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].n, 1021u);
    for (size_t i = 1; i + 1 < w.size(); i++) {
        EXPECT_EQ(w[i].k, 10);
        EXPECT_EQ(w[i].adr % 1024, 0u);
        EXPECT_TRUE(w[i].n == 63488u || i + 2 == w.size()) << i;
        EXPECT_EQ(w[i].n % 1024, 0u);
    }
    EXPECT_EQ(w.back().k, 0);
    EXPECT_EQ(w.back().n, (200000u - 1021u) % 1024u);
}

TEST_F(Dbgp, TargetSizeLimitBoundsItsCodesOnly)
{
    // Bulk writes limited to 1024-byte packets; the single-byte head and
    // tail are not limited.
    SetConf(Conf(0x1f, 0x10, 1024));
    std::vector<Write> w = Load(0x00100008, 4099);
    ASSERT_EQ(w.size(), 7u);
    for (size_t i = 1; i <= 5; i++) {
        EXPECT_EQ(w[i].k, 4);
        EXPECT_LE(w[i].total, 1024u);
    }
    EXPECT_EQ(w[1].n, 992u);
    EXPECT_EQ(w[5].n, 4080u - 4 * 992u);

    // The single-byte code limited too.
    SetConf(Conf(0x1, 0x1, 100));
    sent.clear();
    w = Load(0x00100000, 300);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].n, 72u);
    EXPECT_EQ(w[4].n, 12u);

    // A limit that is not a whole number of units: whole units only.
    SetConf(Conf(0x1f, 0x10, 1000));
    sent.clear();
    w = Load(0x00100000, 5000);
    for (const Write& x : w) {
        EXPECT_LE(x.total, 1000u);
        if (x.k == 4) {
            EXPECT_EQ(x.n % 16, 0u);
        }
    }
    EXPECT_EQ(w[0].n, 960u);
}

TEST_F(Dbgp, SizeLimitWithoutRoomForAUnitFailsBeforeSending)
{
    Bytes src(4096, 0x5a);

    // Room for the headers and padding only: said so.
    SetConf(Conf(0x1f, 0x10, 32));
    testing::internal::CaptureStdout();
    EXPECT_EQ(DbgpDownLoad(0x00100000, src.data(), 4096, 0), -1);
    EXPECT_EQ(Lines(testing::internal::GetCapturedStdout()),
              "dbgp.cpp(N): DBGP memory-write size limit leaves no room for data\n");
    EXPECT_TRUE(sent.empty());

    // Room for 100 bytes, but a unit of code 10 is 1024: no endless loop of
    // empty writes, a clear failure instead.
    SetConf(Conf(0x400, 0x400, 28 + 996 + 100));
    testing::internal::CaptureStdout();
    EXPECT_EQ(DbgpDownLoad(0x00100000, src.data(), 4096, 0), -1);
    EXPECT_EQ(Lines(testing::internal::GetCapturedStdout()),
              "dbgp.cpp(N): DBGP memory-write size limit is smaller than one unit\n");
    EXPECT_TRUE(sent.empty());
}

}  // namespace
