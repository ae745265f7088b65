// NETMP requests byte for byte, and what each reply does to the queue head,
// the link flags and the owner text.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "deci2.h"
#include "netmp.h"
#include "state.h"
#include "testutil.h"

namespace {

Bytes TakeBytes(void* pkt)
{
    const unsigned char* p = (const unsigned char*)pkt;
    Bytes b(p, p + GetLE16(p));
    free(pkt);
    return b;
}

class Netmp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QueueCreate(), 0);
        connected2ee = 0;
        sampleProtoOpened = 0;
    }
    void TearDown() override { QueueDestroy(); }

    // A request that has gone out and waits for its reply.
    void QueueAwaiting()
    {
        ASSERT_EQ(AddPacket(NetmpMakeStatus(), PKT_SEND_REQUEST), 0);
        GetHeadPktByStat(PKT_SEND_REQUEST)->stat = PKT_AWAITING_REPLY;
    }
    int HeadStat()
    {
        PKT* head = GetHeadPktByStat(~0);
        return head ? head->stat : 0;
    }
    // Runs the handler on exactly `body` (so that any read past it shows
    // under the address sanitizer) and returns its output.
    std::string Reply(Bytes body, int* rc)
    {
        testing::internal::CaptureStdout();
        *rc = NetmpHandler((char*)body.data(), (uint16_t)body.size());
        return BlankLineNumbers(testing::internal::GetCapturedStdout());
    }
};

TEST_F(Netmp, RequestsCarryTheirExactBytes)
{
    EXPECT_EQ(TakeBytes(NetmpMakeStatus()),
              (Bytes{0x0A, 0, 0, 0, 0x00, 0x04, 'H', 'H', 0x06, 0}));
    EXPECT_EQ(TakeBytes(NetmpMakeConnect(208)),
              (Bytes{0x1A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x48, 0x48, 0x00,
                     0x00, 0xD0, 0x00, 0x00, 0xE0, 0xD0, 0x00, 0x30, 0x02,
                     0xD0, 0x00, 0x20, 0x01, 0xD0, 0x00, 0x10, 0x02}));
    Bytes c = TakeBytes(NetmpMakeConnect(255));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(c[10 + 4 * i], 255);

    std::string text = MakeComment();
    Bytes m = TakeBytes(NetmpMakeComment());
    ASSERT_EQ(m.size(), 11 + text.size());
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 10),
              (Bytes{(unsigned char)m.size(), 0, 0, 0, 0, 4, 'H', 'H', 4, 0}));
    EXPECT_EQ(std::string(m.begin() + 10, m.end()), text + std::string(1, '\0'));

    Bytes r = TakeBytes(NetmpMakeReset());
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 10),
              (Bytes{32, 0, 0, 0, 0, 4, 'H', 'H', 2, 0}));
    EXPECT_EQ(GetLE16(&r[12]), 0);
    for (int i = 16; i < 32; i++)
        EXPECT_EQ(r[i], 0xFF) << i;
}

TEST_F(Netmp, SuccessfulRepliesMarkTheHeadReplied)
{
    struct {
        unsigned char code;
        const char* out;
    } cases[] = {
        {0x01, "netmp.cpp(N): Connected.\n"},
        {0x05, "netmp.cpp(N): Commented.\n"},
        {0x03, "netmp.cpp(N): Target reset.\n"},
        {0x07, ""},
    };
    for (auto& c : cases) {
        QueueAwaiting();
        connected2ee = sampleProtoOpened = 1;
        int rc = 0;
        EXPECT_EQ(Reply(Bytes{c.code, 0, 0, 0}, &rc), c.out);
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(HeadStat(), PKT_REPLIED) << (int)c.code;
        // Only a reset sends the target's EE and sample protocol back down.
        EXPECT_EQ(connected2ee, c.code == 0x03 ? 0 : 1);
        EXPECT_EQ(sampleProtoOpened, c.code == 0x03 ? 0 : 1);
        DelPacket(GetHeadPktByStat(PKT_REPLIED));
    }

    // Nothing awaiting a reply: reported all the same, nothing marked.
    int rc = 0;
    EXPECT_EQ(Reply(Bytes{0x01, 0}, &rc), "netmp.cpp(N): Connected.\n");
    EXPECT_EQ(HeadStat(), 0);
    ASSERT_EQ(AddPacket(NetmpMakeStatus(), PKT_SEND_ONLY), 0);
    Reply(Bytes{0x01, 0}, &rc);
    EXPECT_EQ(HeadStat(), PKT_SEND_ONLY);
}

TEST_F(Netmp, FailedRepliesLeaveTheRequestWaiting)
{
    struct {
        unsigned char code;
        const char* out;
    } cases[] = {
        {0x01, "netmp.cpp(N): cannot connect to dsnetm\n"},
        {0x05, "netmp.cpp(N): cannot set connection message\n"},
        {0x03, "netmp.cpp(N): target reset failed\n"},
        {0x07, "netmp.cpp(N): cannot get target status\n"},
    };
    QueueAwaiting();
    connected2ee = sampleProtoOpened = 1;
    snprintf(MachineOwner(), TEXT_BUF_SIZE, "before");
    for (auto& c : cases) {
        for (unsigned char result : {1, 0xFF}) {
            int rc = 0;
            // A long body: a failed status must not be read as an owner.
            EXPECT_EQ(Reply(Bytes{c.code, result, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 'x', 0},
                            &rc),
                      c.out);
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
        }
    }
    EXPECT_EQ(connected2ee, 1);
    EXPECT_EQ(sampleProtoOpened, 1);
    EXPECT_STREQ(MachineOwner(), "before");
}

TEST_F(Netmp, UnknownAndTruncatedReplies)
{
    QueueAwaiting();
    for (unsigned char code : {0x00, 0x02, 0x04, 0x06, 0x08, 0xFF}) {
        int rc = 0;
        EXPECT_EQ(Reply(Bytes{code, 0}, &rc),
                  "netmp.cpp(N): unknown netmp packet received.\n");
        EXPECT_EQ(rc, 1);
    }
    for (Bytes body : {Bytes{}, Bytes{0x01}}) {
        int rc = 0;
        EXPECT_EQ(Reply(body, &rc), "netmp.cpp(N): short netmp packet received\n");
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
}

// A successful status reply of `len` bytes, `fill` after code and result.
Bytes StatusBody(size_t len, unsigned char fill)
{
    Bytes b(len, fill);
    b[0] = 0x07;
    b[1] = 0;
    return b;
}

TEST_F(Netmp, StatusReplyRecordsTheOwner)
{
    int rc = 0;
    MachineOwner()[0] = '\0';
    Reply(StatusBody(4, 0), &rc);
    EXPECT_STREQ(MachineOwner(), "");

    // Bytes 2-11 are not part of the owner text.
    std::string owner = "@build7, Norvane hostlink";
    Bytes body = StatusBody(40, 'X');
    memcpy(&body[12], owner.c_str(), owner.size() + 1);
    Reply(body, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(MachineOwner(), owner);

    // Unterminated text ends with the body, whatever lies beyond it.
    body = StatusBody(40, 'B');
    EXPECT_EQ(NetmpHandler((char*)body.data(), 20), 1);
    EXPECT_EQ(MachineOwner(), std::string(8, 'B'));
    // A text too long for the owner buffer is cut to fit it.
    for (size_t len : {TEXT_BUF_SIZE, 600}) {
        body = StatusBody(12 + len + 1, 'C');
        body.back() = '\0';
        Reply(body, &rc);
        EXPECT_EQ(MachineOwner(), std::string(TEXT_BUF_SIZE - 1, 'C')) << len;
    }

    // Owned, but no text at all.
    for (size_t len : {2, 3, 11, 12}) {
        Reply(StatusBody(len, 'D'), &rc);
        EXPECT_EQ(rc, 1);
        EXPECT_STREQ(MachineOwner(), "") << len;
    }
}

}  // namespace
