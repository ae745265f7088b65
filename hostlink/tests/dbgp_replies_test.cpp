// What each DBGP reply does: the configuration taken, the head request
// advanced only on success, and the break report that ends the run.
#include <gtest/gtest.h>

#include <string>

#include "dbgp_fixture.h"

namespace {

class DbgpReplies : public Dbgp {
protected:
    void SetUp() override
    {
        Dbgp::SetUp();
        void* req = DbgpMakeGetconf();
        ASSERT_EQ(AddPacket(req, PKT_SEND_REQUEST), 0);
        GetHeadPktByStat(PKT_SEND_REQUEST)->stat = PKT_AWAITING_REPLY;
    }
    int HeadStat()
    {
        PKT* head = GetHeadPktByStat(~0);
        return head ? head->stat : 0;
    }
    // Runs the handler on exactly `body`, so that a read past it shows under
    // the address sanitizer, and returns what it printed.
    std::string Handle(Bytes body, int* rc)
    {
        testing::internal::CaptureStdout();
        *rc = DbgpHandler(body.empty() ? NULL : (char*)body.data(), (uint16_t)body.size());
        return Lines(testing::internal::GetCapturedStdout());
    }
    void Rearm() { GetHeadPktByStat(~0)->stat = PKT_AWAITING_REPLY; }
};

TEST_F(DbgpReplies, ConfigurationReplyIsTakenOnlyWhenWholeAndSuccessful)
{
    int rc;
    SetConf(Conf(0x1f));

    Bytes full = Reply(DBGP_TYPE_GETCONFR, 0, Conf(0x400, 0x400, 4096));
    // Cut by one byte: nothing stale is taken from beyond the body.
    Bytes cut(full.begin(), full.end() - 1);
    EXPECT_EQ(Handle(cut, &rc), "dbgp.cpp(N): cannot get DBGP configuration data\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(DbgpMaxMemAlign(), 4);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    Bytes failed = full;
    failed[DBGP_OFF_RESULT] = 1;
    EXPECT_EQ(Handle(failed, &rc), "dbgp.cpp(N): cannot get DBGP configuration data\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(DbgpConf()->mem_align, 0x1fu);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    EXPECT_EQ(Handle(full, &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(DbgpMaxMemAlign(), 10);
    EXPECT_EQ(DbgpConf()->v1.mem_limit_size, 4096u);
    EXPECT_EQ(DbgpConf()->major_ver, 3u);
    EXPECT_EQ(HeadStat(), PKT_REPLIED);
}

TEST_F(DbgpReplies, WriteAndRunRepliesAdvanceOnlyOnSuccess)
{
    int rc;
    const struct {
        uint8_t type;
        const char* failure;
    } kinds[] = {{DBGP_TYPE_WRMEMR, "dbgp.cpp(N): DBGP_TYPE_WRMEM failed\n"},
                 {DBGP_TYPE_RUNR, "dbgp.cpp(N): DBGP_TYPE_RUN failed\n"}};
    for (const auto& k : kinds) {
        Rearm();
        EXPECT_EQ(Handle(Reply(k.type, 2), &rc), k.failure);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
        EXPECT_EQ(Handle(Reply(k.type, 0), &rc), "");
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(HeadStat(), PKT_REPLIED);
    }

    // A reply with nothing waiting changes nothing.
    DelPacket(GetHeadPktByStat(~0));
    EXPECT_EQ(Handle(Reply(DBGP_TYPE_WRMEMR, 0), &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(QueueHead()->next, QueueHead());
}

TEST_F(DbgpReplies, BreakUnknownAndTruncatedPackets)
{
    int rc;
    EXPECT_EQ(Handle(Reply(DBGP_TYPE_BREAKR, 0, Bytes(), 1), &rc),
              "dbgp.cpp(N): break code 0x1  result 0x0\n"
              "dbgp.cpp(N): target program breaked by unknown reason\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    EXPECT_EQ(Handle(Reply(0x05, 0), &rc), "dbgp.cpp(N): unknown dbgp packet received.\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    // Too short to hold the fields read: a failure, not a read past it.
    for (size_t n = 0; n < DBGP_HDR_SIZE; n++) {
        Bytes b = Reply(DBGP_TYPE_WRMEMR, 0);
        b.resize(n);
        EXPECT_EQ(Handle(b, &rc), "dbgp.cpp(N): short dbgp packet received.\n") << n;
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
}

}  // namespace
