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

namespace {

// What a trace line must hold for a packet the simulator recorded: length,
// protocol, nodes and the field that tells one message from another.
std::string TraceOf(const SimRecord& r)
{
    const std::vector<uint8_t>& b = r.bytes;
    auto node = [](uint8_t n) {
        return n == 'H' ? std::string("host") : n == 'E' ? "EE" : n == 'I' ? "IOP" : "?";
    };
    auto le32 = [&](size_t at) {
        return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
    };
    char field[64] = "";
    const char* proto = "0x0002";
    const size_t n = sizeof field;
    switch (b[4] | (b[5] << 8)) {
    case SIM_PROTO_NETMP:
        proto = "NETMP";
        snprintf(field, n, " code=0x%02x", b[8]);
        break;
    case SIM_PROTO_DCMP:
        proto = "DCMP";
        snprintf(field, n, " type=%u code=%u", b[8], b[9]);
        break;
    case SIM_PROTO_DBGP:
        proto = "DBGP";
        snprintf(field, n, " type=0x%02x", b[10]);
        break;
    case SIM_PROTO_TTYP:
        proto = "TTYP";
        snprintf(field, n, " text=%zu", b.size() - 12);
        break;
    case SIM_PROTO_SAMPLE:
        proto = "SAMPLE";
        break;
    case SIM_PROTO_DRFP:
        proto = "DRFP";
        if (b.size() >= 16)
            snprintf(field, n, " code=%u seq=%u", le32(8), le32(12));
        else
            snprintf(field, n, " malformed");
        break;
    }
    return std::string(r.dir == SIM_TO_HOST ? "received " : "sent ") + std::to_string(r.length) +
           " " + proto + " " + node(b[6]) + ">" + node(b[7]) + field;
}

// The trace's lines, each split into its time, connection and the rest.
struct TraceLine {
    std::string time, rest;
    int conn = 0;
};

std::vector<TraceLine> ParseTrace(const std::string& text)
{
    std::vector<TraceLine> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = text.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1);
        TraceLine t;
        t.time = line.substr(0, a);
        t.conn = b == std::string::npos ? 0 : atoi(line.substr(a + 1, b - a - 1).c_str());
        t.rest = b == std::string::npos ? line : line.substr(b + 1);
        lines.push_back(t);
    }
    return lines;
}

// Per connection and direction, the trace holds the packets the simulator
// recorded, in the same order; the times count up to the microsecond.
void ExpectTraceMatchesTranscript(const std::string& text, const std::vector<SimRecord>& tr)
{
    std::vector<TraceLine> trace = ParseTrace(text);
    EXPECT_EQ(trace.size(), tr.size()) << text;
    for (int conn = 1; conn <= 3; conn++) {
        for (char dirn : {SIM_TO_HOST, SIM_FROM_HOST}) {
            std::vector<std::string> want, got;
            for (const SimRecord& rec : tr)
                if (rec.conn + 1 == conn && rec.dir == dirn)
                    want.push_back(TraceOf(rec));
            const char* word = dirn == SIM_TO_HOST ? "received " : "sent ";
            for (const TraceLine& t : trace)
                if (t.conn == conn && t.rest.rfind(word, 0) == 0)
                    got.push_back(t.rest);
            ASSERT_EQ(got.size(), want.size()) << "connection " << conn << " " << word << text;
            for (size_t i = 0; i < want.size(); i++)
                EXPECT_EQ(got[i].rfind(want[i], 0), 0u) << got[i] << "\nwanted " << want[i];
        }
    }
    std::string last;
    for (const TraceLine& t : trace) {
        size_t dot = t.time.find('.');
        EXPECT_TRUE(dot != std::string::npos && t.time.size() - dot == 7) << t.time;
        EXPECT_GE(atof(t.time.c_str()), atof(last.c_str()));
        last = t.time;
    }
}

// The trace on standard error; to a file that cannot be written, which ends
// the trace alone; to one that cannot be made, which ends the run before
// anything is sent.
void ExpectTraceOutputsAndRefusals(const ProcOptions& opt)
{
    SimConfig none;
    none.acceptTimeoutMs = 1000;
    Session toStderr(none);
    ASSERT_NE(toStderr.sim, nullptr);
    toStderr.Start({"-trace", "-", kNoElf}, opt);
    ProcResult r = toStderr.Wait();
    EXPECT_NE(r.err.find(" 1 sent 10 NETMP host>host code=0x06 result=0"), std::string::npos)
        << r.err;
    if (!UnderLauncher()) {
        Session full(none);
        ASSERT_NE(full.sim, nullptr);
        full.Start({"-trace", "/dev/full", kNoElf}, opt);
        r = full.Wait();
        EXPECT_TRUE(InOrder(r.out, {"cannot write the trace: ", "Cannot open file\n"})) << r.out;
        EXPECT_EQ(r.status, 255);
    }
    Session refused(none);
    ASSERT_NE(refused.sim, nullptr);
    refused.Start({"-trace", "no-such-dir/trace.txt", kExampleElf}, opt);
    r = refused.Wait();
    EXPECT_TRUE(InOrder(r.out, {"no-such-dir/trace.txt - cannot create trace file: "})) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(SimConnections(refused.sim), 0);
}

}  // namespace

// A whole run traced: a line for every packet, both ways on every
// connection, each in the order it crossed its socket and matching what
// the simulator recorded; the lines are in the file as they happen, names
// with control bytes are escaped, unknown and malformed packets are traced
// as they are. "-trace -" writes to standard error; a trace file that
// cannot be made ends the run before anything is sent, one that can no
// longer be written only the trace.
TEST(HostlinkE2E, TraceShowsEveryPacketAsTheManagerSawIt)
{
    std::string dir = MakeTempDir("hostlink-trace");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/data.bin", std::string(300, 'd'));
    SimConfig cfg;
    cfg.sampleRecords = 1 << 20;
    cfg.steps = {SimTty("hello\r\n"), SimDrfpOpen("data.bin"), SimDrfpRead(100),
                 SimDrfpSeek(-10, 2), SimDrfpClose(), SimDrfpOpen("bad\x01\"name"),
                 SimRaw(SimPacket(SIM_PROTO_DRFP, 'I', 'H', {4, 0, 0, 0})), SimDcmp(2, 3, 0),
                 SimSync(), SimMark("midway"), SimSleep(2500),
                 SimRaw(SimPacket(0x0002, 'E', 'H', {1, 2, 3, 4}))};
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = dir;
    run.Start({"-trace", "trace.txt", kExampleElf}, opt);
    // While the target is quiet, hostlink waits with every line written.
    ASSERT_TRUE(SimWaitMark(run.sim, "midway", 10000));
    const std::string reply = "sent 20 DRFP host>IOP code=3 seq=6 result=9";
    std::string midway;
    for (double end = Now() + 2; Now() < end && midway.find(reply) == std::string::npos;) {
        usleep(20000);
        midway = ReadFileText(dir + "/trace.txt");
    }
    EXPECT_NE(midway.find(reply), std::string::npos) << midway;
    ProcResult r = run.Wait();
    EXPECT_EQ(r.status, 1) << r.out;

    std::string text = ReadFileText(dir + "/trace.txt");
    ExpectTraceMatchesTranscript(text, SimTranscript(run.sim));
    EXPECT_TRUE(InOrder(text, {"received 19 TTYP EE>host text=7\n",
                               "code=0 seq=1 flag=0x0 name=\"data.bin\"\n",
                               "sent 124 DRFP host>IOP code=5 seq=2 result=0 size=100\n",
                               "code=8 seq=3 handle=1 offset=-10 base=2\n",
                               "name=\"bad\\x01\\x22name\"\n",
                               "received 12 DRFP IOP>host malformed\n",
                               "received 12 0x0002 EE>host\n"}));
    ExpectTraceOutputsAndRefusals(opt);
    RemoveTree(dir);
}

// A port past 65535 is refused, not cut to the 16 bits that would reach
// some other port (here the manager's own), and an IPv6 address is said to
// be one this link cannot use.
TEST(HostlinkE2E, AddressesTheLinkCannotUseAreRefused)
{
    SimConfig cfg;
    cfg.acceptTimeoutMs = 2000;
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    const std::string port = std::to_string(SimPort(run.sim));
    struct Case {
        std::string address;
        std::vector<std::string> lines;
    } cases[] = {
        {"127.0.0.1:" + std::to_string(SimPort(run.sim) + 65536), {"invalid port number\n"}},
        {"127.0.0.1:-" + port, {"invalid port number\n"}},
        {"::1", {"only IPv4 addresses and host names are supported\n", "gethostbyname() fail\n"}},
        {"[::1]:" + port,
         {"only IPv4 addresses and host names are supported\n", "gethostbyname() fail\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        run.Start({"-d", c.address, kNoElf}, ProcOptions(), false);
        ProcResult r = run.Wait();
        EXPECT_TRUE(InOrder(r.out, c.lines));
        EXPECT_EQ(Count(r.out, "\n"), c.lines.size()) << r.out;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(SimConnections(run.sim), 0);
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
