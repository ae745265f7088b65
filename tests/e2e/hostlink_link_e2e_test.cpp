// hostlink end to end, the link itself: where it connects, how it takes
// packets that come in pieces, what ends a run on bad traffic, and how the
// target's console text is shown.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "hostlink_e2e.h"

// The address comes from -d or from DSNETM, -d winning; all three
// connections are opened and the first request is the status on the first.
TEST(HostlinkE2E, OpensThreeConnectionsFromOptionOrEnvironment)
{
    for (int how = 0; how < 3; how++) {
        SimConfig cfg;
        cfg.netmpResult[SIM_NETMP_STATUS] = 1;  // ends the run after one exchange
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        ProcOptions opt;
        std::vector<std::string> args;
        if (how == 0) {
            opt.unset.push_back("DSNETM");
            args = {"-d", Addr(run.sim), kNoElf};
        } else if (how == 1) {
            opt.env.push_back("DSNETM=" + Addr(run.sim));
            args = {kNoElf};
        } else {
            opt.env.push_back("DSNETM=127.0.0.1:1");
            args = {"-d", "127.0.0.1:1", "-d", Addr(run.sim), kNoElf};
        }
        run.Start(args, opt, false);
        ProcResult r = run.Wait();
        EXPECT_EQ(r.status, 255) << "variant " << how << "\n" << r.out;
        EXPECT_EQ(SimConnections(run.sim), 3) << "variant " << how;
        std::vector<SimRecord> st = FromHost(run.sim, SIM_PROTO_NETMP);
        ASSERT_EQ(st.size(), 1u) << Dump(run.sim);
        EXPECT_EQ(st[0].conn, 0);
        EXPECT_EQ(st[0].bytes,
                  (std::vector<uint8_t>{0x0a, 0, 0, 0, 0x00, 0x04, 'H', 'H', 0x06, 0}));
    }
}

// Without a port the manager's own port, 8510, is used (skipped when that
// port is taken on this machine).
TEST(HostlinkE2E, DefaultsToTheManagersPort)
{
    for (int how = 0; how < 2; how++) {
        SimConfig cfg;
        cfg.port = 8510;
        cfg.netmpResult[SIM_NETMP_STATUS] = 1;
        Session run(cfg);
        if (!run.sim)
            GTEST_SKIP() << "port 8510 is in use";
        ProcOptions opt;
        std::vector<std::string> args;
        if (how == 0) {
            opt.env.push_back("DSNETM=127.0.0.1");
            args = {kNoElf};
        } else {
            opt.unset.push_back("DSNETM");
            args = {"-d", "127.0.0.1:", kNoElf};
        }
        run.Start(args, opt, false);
        ProcResult r = run.Wait();
        EXPECT_EQ(SimConnections(run.sim), 3) << "variant " << how << "\n" << r.out;
        EXPECT_TRUE(InOrder(r.out, {"cannot get target status\n"})) << "variant " << how;
    }
}

// Packets from the manager may arrive in any number of pieces; each is
// still taken whole, wherever it was cut.
TEST(HostlinkE2E, ReceivesPacketsThatArriveInPieces)
{
    const int splits[] = {1, 7, 8, 9, 12};
    for (int mode = -1; mode < (int)(sizeof splits / sizeof splits[0]); mode++) {
        SimConfig cfg;
        if (mode < 0)
            cfg.byteDelayMs = 1;
        else
            cfg.split = splits[mode];
        cfg.splitDelayMs = 20;
        cfg.steps.push_back(SimAt(SIM_AT_RESET, SimTty("console in pieces\r\n")));
        cfg.getconfResult = 1;  // the run ends at the load
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(mode < 0 ? std::string("one byte at a time")
                              : "split at " + std::to_string(splits[mode]));
        EXPECT_TRUE(InOrder(r.out, {"Connected.\n", "Connected.\n", "Connected.\n",
                                    "Commented.\n", "Commented.\n", "Commented.\n",
                                    "Target reset.\n", "console in pieces\n",
                                    "DCMP_TYPE_STATUS: CONNECTED\n",
                                    "cannot get DBGP configuration data\n",
                                    "cannot download program\n"}))
            << Dump(run.sim);
        EXPECT_EQ(Count(r.out, "read() failed"), 0u);
        EXPECT_EQ(r.status, 255);
    }
}

// A connection that ends inside a packet, a header that claims less than
// itself and a protocol nobody handles each end the wait with the receive
// error stack.
TEST(HostlinkE2E, MalformedTrafficEndsTheRun)
{
    std::vector<uint8_t> tty = Tty("never whole");
    struct Case {
        const char* name;
        SimStep step;
        std::vector<std::string> lines;
    } cases[] = {
        {"closed mid-header", SimCloseAfter(tty, 5), {"read() failed.\n", "receive error\n"}},
        {"closed mid-body", SimCloseAfter(tty, 14), {"read() failed.\n", "receive error\n"}},
        {"closed between packets", SimCloseAfter({}, 0), {"read() failed.\n", "receive error\n"}},
        {"length below header", SimRaw({4, 0, 0, 0, 0x10, 0x02, 'E', 'H'}),
         {"read() failed\n", "receive error\n"}},
        {"unknown protocol", SimRaw(SimPacket(0x0002, 'E', 'H', {1, 2, 3, 4})),
         {"unknown packet received\n", "receive error\n"}},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.eeConnects = false;
        cfg.steps.push_back(SimAt(SIM_AT_RESET, c.step));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(c.name);
        std::vector<std::string> want = {"Target reset.\n"};
        want.insert(want.end(), c.lines.begin(), c.lines.end());
        want.push_back("select error\n");
        EXPECT_TRUE(InOrder(r.out, want));
        EXPECT_EQ(r.status, 255);
        EXPECT_LT(run.Elapsed(), 8.0) << "the failure must not wait for a time-out";
    }
}

// Console text: the first line ends at its carriage return; every line of a
// packet is shown (not only the first); a percent sign is only a character.
TEST(HostlinkE2E, PrintsConsoleText)
{
    SimConfig cfg;
    cfg.eeConnects = false;
    for (const char* t : {"abc\r\n", "abc", "one\r\ntwo\r\n", "%s%d%n", ""})
        cfg.steps.push_back(SimAt(SIM_AT_RESET, SimTty(t)));
    cfg.steps.push_back(SimAt(SIM_AT_RESET, SimTty(std::string("ab\0cd", 5))));
    // Far more than any line buffer, up to the largest packet: shown in
    // part or whole, never past a buffer's end.
    cfg.steps.push_back(SimAt(SIM_AT_RESET, SimTty(std::string(3000, 'x') + "\r\n")));
    // (Under the launcher every piece of console output is slow to pass, so
    // the largest packet is left to the native run.)
    size_t big = UnderLauncher() ? 8000 : 65535 - 12;
    cfg.steps.push_back(SimAt(SIM_AT_RESET, SimTty(std::string(big, 'y'))));
    cfg.steps.push_back(SimAt(SIM_AT_RESET, SimDcmp(3, 2, 0)));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"Target reset.\nabc\nabc\none\ntwo\n%s%d%n\n\nab\n",
                                std::string(400, 'x'), std::string(400, 'y'),
                                "DCMP_TYPE_ERROR: LOCKED\n"}));
    EXPECT_EQ(r.out.find("cd"), std::string::npos) << "text ends at its first NUL";
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.status, 255);
}

// A target that asks for file data far faster than the manager takes it
// (here the manager stops taking packets altogether): hostlink stops
// reading while its replies back up, so its memory stays bounded, and once
// a reply has found no room for a whole wait it ends the run as a failed
// send does.
TEST(HostlinkE2E, ManagerThatStopsTakingPacketsEndsServingWithBoundedMemory)
{
    std::string dir = MakeTempDir("hostlink-flood");
    ASSERT_FALSE(dir.empty());
    // Sparse: every read has its whole 32 KiB to answer with.
    WriteFile(dir + "/big.bin", "");
    ASSERT_EQ(truncate((dir + "/big.bin").c_str(), 40L << 20), 0);
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {SimDrfpOpen("big.bin"), SimDrfpFlood(1000, 32768, 30000)};
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = dir;
    opt.timeoutSec = 40;
    run.Start({kExampleElf}, opt);
    long peak = -1;
    if (!UnderLauncher()) {
        // Until the process is gone, or has become a zombie without memory.
        for (long now; run.Elapsed() < 30 && (now = ProcPeakRssKiB(run.proc.pid)) >= 0;) {
            peak = now > peak ? now : peak;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"fopen(big.bin", "send() failed\n"})) << r.out.substr(0, 2000);
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(run.Elapsed(), 20.0);
    if (!UnderLauncher()) {
        EXPECT_GT(peak, 0);
        EXPECT_LT(peak, 16 * 1024) << "peak resident KiB";
    }
    RemoveTree(dir);
}
