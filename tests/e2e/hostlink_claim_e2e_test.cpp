// hostlink end to end, claiming the target: the manager's requests in
// order on a free target, a target held by this workstation or by another
// client, failed replies, and the manager's status and error messages.
#include "hostlink_e2e.h"

// A free target: status, three connects with falling priorities, three
// comments, one reset on the first connection, then the wait for the EE;
// -kickme changes nothing here. (The target refuses the load that follows.)
TEST(HostlinkE2E, ClaimsAFreeTarget)
{
    for (bool kick : {false, true}) {
        SimConfig cfg;
        cfg.getconfResult = 1;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        std::vector<std::string> args;
        if (kick)
            args.push_back("-kickme");
        args.push_back(kExampleElf);
        run.Start(args);
        ProcResult r = run.Wait();
        SCOPED_TRACE(kick ? "-kickme" : "plain");
        EXPECT_TRUE(InOrder(r.out, {"Connected.\n", "Connected.\n", "Connected.\n", "Commented.\n",
                                    "Commented.\n", "Commented.\n", "Target reset.\n",
                                    "DCMP_TYPE_STATUS: CONNECTED\n", "proto/node=0x45\n",
                                    "Received.\n", "cannot get DBGP configuration data\n",
                                    "cannot download program\n"}));
        EXPECT_EQ(r.status, 255);

        std::vector<SimRecord> netmp = FromHost(run.sim, SIM_PROTO_NETMP);
        ASSERT_EQ(netmp.size(), 8u) << Dump(run.sim);
        const int order[8][2] = {{0x06, 0}, {0x00, 0}, {0x00, 1}, {0x00, 2},
                                 {0x04, 0}, {0x04, 1}, {0x04, 2}, {0x02, 0}};
        for (int i = 0; i < 8; i++) {
            EXPECT_EQ(netmp[i].bytes[8], order[i][0]) << "request " << i;
            EXPECT_EQ(netmp[i].conn, order[i][1]) << "request " << i;
        }
        EXPECT_EQ(netmp[2].bytes,
                  (std::vector<uint8_t>{0x1A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x48, 0x48, 0x00,
                                        0x00, 0xD0, 0x00, 0x00, 0xE0, 0xD0, 0x00, 0x30, 0x02,
                                        0xD0, 0x00, 0x20, 0x01, 0xD0, 0x00, 0x10, 0x02}));
        EXPECT_EQ(SimPriorities(run.sim), (std::vector<int>{255, 208, 129}));
        EXPECT_EQ(netmp[7].length, 32u);
        std::vector<std::string> comments = SimComments(run.sim);
        ASSERT_EQ(comments.size(), 3u);
        EXPECT_EQ(comments[0].rfind("@", 0), 0u);
        EXPECT_NE(comments[0].find(", Norvane hostlink"), std::string::npos);
        EXPECT_EQ(comments[1], comments[0]);
        EXPECT_EQ(comments[2], comments[0]);
        EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    }
}

// A target this workstation already holds: without -kickme nothing is
// registered; with it one reset goes out with one-second waits, and an
// unanswered reset is a failure.
TEST(HostlinkE2E, TargetHeldByThisWorkstation)
{
    std::string own = OwnComment();
    struct Case {
        bool kick, answered;
        int status;
        const char* last;
    } cases[] = {
        {false, true, 255, "you're already connected\n"},
        {true, true, 0, "you're already connected - reset sent\n"},
        {true, false, 255, "you're already connected - reset sent\n"},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.owner = SIM_OWNER_SELF;
        cfg.ownerText = own;
        cfg.netmpSilent[SIM_NETMP_RESET] = !c.answered;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        std::vector<std::string> args;
        if (c.kick)
            args.push_back("-kickme");
        args.push_back(kNoElf);
        run.Start(args);
        ProcResult r = run.Wait();
        SCOPED_TRACE(std::string(c.kick ? "-kickme" : "plain") +
                     (c.answered ? "" : ", reset unanswered"));
        std::vector<std::string> want;
        if (!c.answered)
            want.push_back("timeout\n");
        want.push_back(c.last);
        EXPECT_TRUE(InOrder(r.out, want));
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(FromHost(run.sim, SIM_PROTO_NETMP, 0x00).empty()) << "no connect request";
        EXPECT_TRUE(FromHost(run.sim, SIM_PROTO_NETMP, 0x04).empty()) << "no comment";
        EXPECT_EQ(FromHost(run.sim, SIM_PROTO_NETMP, 0x02).size(), c.kick ? 1u : 0u);
        if (!c.answered) {
            EXPECT_LT(run.Elapsed(), 4.0) << "the reset's wait is one second";
        }
    }
}

// A target held by another client is refused, and the run reports that as
// the failure it is (exit status 255), with the owner text shown literally.
TEST(HostlinkE2E, TargetHeldByAnotherClientIsRefused)
{
    // The second owner text is longer than anything kept of it.
    for (std::string owner : {std::string("@lab-pc %s%d, other tool"), std::string(2000, 'o')}) {
        SimConfig cfg;
        cfg.owner = SIM_OWNER_OTHER;
        cfg.ownerText = owner;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({"-kickme", kNoElf});
        ProcResult r = run.Wait();
        EXPECT_TRUE(InOrder(r.out, {"target owned by " + owner.substr(0, 200)}));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(FromHost(run.sim, SIM_PROTO_NETMP).size(), 1u) << Dump(run.sim);
    }
}

// Each NETMP reply that reports a failure ends the run with its own stack
// of lines, innermost first.
TEST(HostlinkE2E, NetmpFailuresEndTheRunWithTheirStack)
{
    struct Case {
        int which, conn;
        const char* inner;
        const char* outer;
    } cases[] = {
        {SIM_NETMP_STATUS, -1, "cannot get target status\n", "faild to send status packet\n"},
        {SIM_NETMP_CONNECT, 1, "cannot connect to dsnetm\n", "faild to send connect packet\n"},
        {SIM_NETMP_COMMENT, 2, "cannot set connection message\n",
         "faild to send filesrv connect packet\n"},
        {SIM_NETMP_RESET, -1, "target reset failed\n", "faild to send reset packet\n"},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.netmpResult[c.which] = 1;
        cfg.netmpFailConn = c.conn;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(c.inner);
        EXPECT_TRUE(InOrder(r.out, {c.inner, "receive error\n", "select error\n", c.outer}));
        EXPECT_EQ(Count(r.out, "Target reset."), 0u);
        EXPECT_EQ(r.status, 255);
    }
}

namespace {

// Status messages before, between and after the claim's requests are shown
// and the run goes on.
void ExpectStatusMessagesShown()
{
    SimConfig cfg;
    cfg.steps.push_back(SimBefore(SIM_AT_STATUS, SimDcmp(2, 2, 0x0230)));
    cfg.steps.push_back(SimAt(SIM_AT_CONNECT, SimDcmp(2, 7, 0x49), 1));
    cfg.steps.push_back(SimBefore(SIM_AT_RESET, SimDcmp(2, 0, 0x45)));
    cfg.getconfResult = 1;
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ProcResult r = run.Wait();
    // The EE reported before the reset does not count: the reset clears it,
    // and the load starts only after the report that follows the reset.
    EXPECT_TRUE(InOrder(r.out, {"DCMP_TYPE_STATUS: UNLOCKED\n", "proto/node=0x230\n",
                                "Received.\n", "DCMP_TYPE_STATUS: UNKNOWN\n",
                                "proto/node=0x49\n", "DCMP_TYPE_STATUS: CONNECTED\n",
                                "Target reset.\n", "DCMP_TYPE_STATUS: CONNECTED\n",
                                "cannot get DBGP configuration data\n"}));
    EXPECT_EQ(r.status, 255);
}

struct DcmpErrorCase {
    int hook;
    bool before;
    int code;
    const char* word;
    const char* outer;
};

// An error message fails the wait it lands in, with the stack of lines of
// whatever was waiting.
void ExpectErrorEndsTheWait(const DcmpErrorCase& c)
{
    SimConfig cfg;
    cfg.eeConnects = c.hook != SIM_AT_RESET;
    SimStep s = SimDcmp(3, c.code, 0);
    cfg.steps.push_back(c.before ? SimBefore(c.hook, s) : SimAt(c.hook, s));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ProcResult r = run.Wait();
    SCOPED_TRACE(c.word);
    std::vector<std::string> want = {std::string("DCMP_TYPE_ERROR: ") + c.word + "\n",
                                     "get DCMP_TYPE_ERROR message\n\n", "receive error\n",
                                     "select error\n"};
    if (c.outer)
        want.push_back(c.outer);
    EXPECT_TRUE(InOrder(r.out, want));
    EXPECT_EQ(r.status, 255);
}

// While the program is served an error ends the run like any failed wait:
// status 1.
void ExpectErrorWhileServingEndsWithOne()
{
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps.push_back(SimTty("served\r\n"));
    cfg.steps.push_back(SimDcmp(3, 4, 0));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"served\n", "DCMP_TYPE_ERROR: INVALHEAD\n",
                                "get DCMP_TYPE_ERROR message\n\n", "receive error\n"}));
    EXPECT_EQ(Count(r.out, "select error"), 0u);
    EXPECT_EQ(r.status, 1);
}

}  // namespace

// Status and error messages from the manager: a status anywhere is shown
// and the run goes on; an error fails whatever wait it lands in.
TEST(HostlinkE2E, DcmpMessagesAtAnyPoint)
{
    ExpectStatusMessagesShown();
    const DcmpErrorCase cases[] = {
        {SIM_AT_STATUS, true, 2, "LOCKED", "faild to send status packet\n"},
        {SIM_AT_RESET, false, 5, "NOCONNECT", nullptr},  // the EE wait ends at "select error"
        {SIM_AT_GETCONF, true, 9, "UNKNOWN", "faild to send DBGP_TYPE_GETCONF packet\n"},
    };
    for (const DcmpErrorCase& c : cases)
        ExpectErrorEndsTheWait(c);
    ExpectErrorWhileServingEndsWithOne();
}
