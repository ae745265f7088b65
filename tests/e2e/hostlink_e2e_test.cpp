// hostlink end to end: the built program against the simulated manager and
// target, checked by what it prints, how it exits and what crossed the wire.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "dsnetsim.h"
#include "proc.h"

#ifndef DSNETSIM_EXAMPLES_DIR
#define DSNETSIM_EXAMPLES_DIR "examples"
#endif

namespace {

const char kExampleElf[] = DSNETSIM_EXAMPLES_DIR "/demo.elf";
// A program file that is never reached: the runs that use it end before
// anything is loaded.
const char kNoElf[] = "no-such-program.elf";

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string Addr(Sim* sim) { return "127.0.0.1:" + std::to_string(SimPort(sim)); }

// The needles appear in this order, each after the end of the one before.
::testing::AssertionResult InOrder(const std::string& out, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const std::string& n : needles) {
        size_t f = out.find(n, at);
        if (f == std::string::npos)
            return ::testing::AssertionFailure()
                   << "missing (in order) \"" << n << "\" in output:\n" << out;
        at = f + n.size();
    }
    return ::testing::AssertionSuccess();
}

size_t Count(const std::string& out, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1))
        n++;
    return n;
}

std::string Dump(Sim* sim)
{
    std::string s;
    for (const SimRecord& r : SimTranscript(sim))
        s += SimFormatRecord(r) + "\n";
    for (const std::string& p : SimProblems(sim))
        s += "problem: " + p + "\n";
    return s;
}

// Packets hostlink sent with this protocol (and, when code >= 0, this first
// body byte: the NETMP code).
std::vector<SimRecord> FromHost(Sim* sim, int proto, int code = -1)
{
    std::vector<SimRecord> v;
    for (const SimRecord& r : SimTranscript(sim)) {
        if (r.dir != SIM_FROM_HOST || r.bytes.size() < 9)
            continue;
        if ((r.bytes[4] | (r.bytes[5] << 8)) != proto)
            continue;
        if (code >= 0 && r.bytes[8] != code)
            continue;
        v.push_back(r);
    }
    return v;
}

std::vector<uint8_t> Tty(const std::string& text)
{
    std::vector<uint8_t> body(4 + text.size(), 0);
    memcpy(&body[4], text.data(), text.size());
    return SimPacket(SIM_PROTO_TTYP, 'E', 'H', body);
}

std::string Unix(const std::string& s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            o += s[i];
    return o;
}

// One hostlink run against one simulated session.
struct Session {
    Sim* sim = nullptr;
    Proc proc;
    bool started = false;
    double t0 = 0;

    explicit Session(const SimConfig& cfg) { sim = SimStart(cfg); }
    ~Session()
    {
        if (started && proc.pid > 0) {
            SignalTool(proc, SIGKILL);
            WaitTool(proc);
        }
        SimStop(sim);
    }
    void Start(const std::vector<std::string>& args, ProcOptions opt = ProcOptions(),
               bool withAddress = true)
    {
        std::vector<std::string> av;
        if (withAddress) {
            av.push_back("-d");
            av.push_back(Addr(sim));
        }
        av.insert(av.end(), args.begin(), args.end());
        opt.timeoutSec = 30;
        t0 = Now();
        proc = StartTool("hostlink", av, opt);
        started = true;
    }
    ProcResult Wait()
    {
        ProcResult r = WaitTool(proc);
        started = false;
        // A Windows program's text output ends its lines with CR LF.
        if (UnderLauncher())
            r.out = Unix(r.out);
        return r;
    }
    double Elapsed() const { return Now() - t0; }
};

// The comment text this workstation's hostlink identifies itself with, as
// it really sends it (the host name seen by the program under test may
// differ from ours under a launcher).
std::string OwnComment()
{
    static std::string learnt;
    if (!learnt.empty())
        return learnt;
    SimConfig cfg;
    cfg.netmpResult[SIM_NETMP_RESET] = 1;
    Session run(cfg);
    run.Start({kNoElf});
    run.Wait();
    std::vector<std::string> c = SimComments(run.sim);
    learnt = c.empty() ? SimOwnComment() : c[0];
    return learnt;
}

// ---- the example program's file image ---------------------------------------

struct ElfInfo {
    bool ok = false;
    uint32_t entry = 0, gp = 0;
    struct Seg {
        uint32_t vaddr;
        std::vector<uint8_t> bytes;
    };
    std::vector<Seg> segs;
};

uint32_t Le32(const std::vector<uint8_t>& f, size_t at)
{
    return at + 4 <= f.size() ? (uint32_t)f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) |
                                    ((uint32_t)f[at + 3] << 24)
                              : 0;
}
uint32_t Le16(const std::vector<uint8_t>& f, size_t at)
{
    return at + 2 <= f.size() ? (uint32_t)(f[at] | (f[at + 1] << 8)) : 0;
}

ElfInfo ReadElf(const char* path)
{
    ElfInfo e;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (f.size() < 52)
        return e;
    e.entry = Le32(f, 24);
    uint32_t phoff = Le32(f, 28), shoff = Le32(f, 32);
    uint32_t phnum = Le16(f, 44), shnum = Le16(f, 48);
    for (uint32_t i = 0; i < phnum; i++) {
        size_t p = phoff + 32 * i;
        uint32_t off = Le32(f, p + 4), filesz = Le32(f, p + 16);
        if (Le32(f, p) != 1 || filesz == 0 || (uint64_t)off + filesz > f.size())
            continue;
        e.segs.push_back({Le32(f, p + 8), std::vector<uint8_t>(f.begin() + off,
                                                               f.begin() + off + filesz)});
    }
    for (uint32_t i = 0; i < shnum; i++) {
        size_t s = shoff + 40 * i;
        if (Le32(f, s + 4) == 0x70000006) {
            if (Le32(f, s + 20) == 24)
                e.gp = Le32(f, Le32(f, s + 16) + 20);
            break;
        }
    }
    e.ok = !e.segs.empty();
    return e;
}

// Ends a session that is being served: an interrupt where signals reach the
// program (exit 0), otherwise the manager going away (exit 1).
int EndServing(Session& run)
{
    if (!UnderLauncher()) {
        SignalTool(run.proc, SIGINT);
        return 0;
    }
    SimHangUp(run.sim);
    return 1;
}

}  // namespace

// ---- the link itself ------------------------------------------------------------

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
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kNoElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(mode < 0 ? std::string("one byte at a time")
                              : "split at " + std::to_string(splits[mode]));
        EXPECT_TRUE(InOrder(r.out, {"Connected.\n", "Connected.\n", "Connected.\n",
                                    "Commented.\n", "Commented.\n", "Commented.\n",
                                    "Target reset.\n", "console in pieces\n",
                                    "DCMP_TYPE_STATUS: CONNECTED\n", "Cannot open file\n",
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
        run.Start({kNoElf});
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
    run.Start({kNoElf});
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"Target reset.\nabc\nabc\none\ntwo\n%s%d%n\n\nab\n",
                                std::string(400, 'x'), std::string(400, 'y'),
                                "DCMP_TYPE_ERROR: LOCKED\n"}));
    EXPECT_EQ(r.out.find("cd"), std::string::npos) << "text ends at its first NUL";
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.status, 255);
}

// An interrupt during a quiet wait is acted on at the end of the one-second
// slice, not after the whole ten-second wait.
TEST(HostlinkE2E, TerminationSignalEndsAQuietWaitAtTheSliceEnd)
{
    if (UnderLauncher())
        GTEST_SKIP() << "signals do not reach a program under the launcher";
    for (int sig : {SIGINT, SIGTERM}) {
        SimConfig cfg;
        cfg.eeConnects = false;
        cfg.sampleOpens = false;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kNoElf});
        ASSERT_TRUE(WaitForOutput(run.proc, "Target reset.", 10));
        double t = Now();
        SignalTool(run.proc, sig);
        ProcResult r = run.Wait();
        EXPECT_LT(Now() - t, 2.5) << "signal " << sig;
        EXPECT_TRUE(InOrder(r.out, {"Target reset.\n", "timeout\n"}));
        EXPECT_EQ(r.status, 255);
    }
}

// ---- claiming the target ------------------------------------------------------------

// A free target: status, three connects with falling priorities, three
// comments, one reset on the first connection, then the wait for the EE;
// -kickme changes nothing here.
TEST(HostlinkE2E, ClaimsAFreeTarget)
{
    for (bool kick : {false, true}) {
        SimConfig cfg;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        std::vector<std::string> args;
        if (kick)
            args.push_back("-kickme");
        args.push_back(kNoElf);
        run.Start(args);
        ProcResult r = run.Wait();
        SCOPED_TRACE(kick ? "-kickme" : "plain");
        EXPECT_TRUE(InOrder(r.out, {"Connected.\n", "Connected.\n", "Connected.\n", "Commented.\n",
                                    "Commented.\n", "Commented.\n", "Target reset.\n",
                                    "DCMP_TYPE_STATUS: CONNECTED\n", "proto/node=0x45\n",
                                    "Received.\n", "Cannot open file\n",
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
        run.Start({kNoElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(c.inner);
        EXPECT_TRUE(InOrder(r.out, {c.inner, "receive error\n", "select error\n", c.outer}));
        EXPECT_EQ(Count(r.out, "Target reset."), 0u);
        EXPECT_EQ(r.status, 255);
    }
}

// Status and error messages from the manager: a status anywhere is shown
// and the run goes on; an error fails whatever wait it lands in.
TEST(HostlinkE2E, DcmpMessagesAtAnyPoint)
{
    {
        SimConfig cfg;
        cfg.steps.push_back(SimBefore(SIM_AT_STATUS, SimDcmp(2, 2, 0x0230)));
        cfg.steps.push_back(SimAt(SIM_AT_CONNECT, SimDcmp(2, 7, 0x49), 1));
        cfg.steps.push_back(SimBefore(SIM_AT_RESET, SimDcmp(2, 0, 0x45)));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kNoElf});
        ProcResult r = run.Wait();
        // The EE reported before the reset does not count: the reset clears it,
        // and the load starts only after the report that follows the reset.
        EXPECT_TRUE(InOrder(r.out, {"DCMP_TYPE_STATUS: UNLOCKED\n", "proto/node=0x230\n",
                                    "Received.\n", "DCMP_TYPE_STATUS: UNKNOWN\n",
                                    "proto/node=0x49\n", "DCMP_TYPE_STATUS: CONNECTED\n",
                                    "Target reset.\n", "DCMP_TYPE_STATUS: CONNECTED\n",
                                    "Cannot open file\n"}));
        EXPECT_EQ(r.status, 255);
    }
    struct Case {
        int hook;
        bool before;
        int code;
        const char* word;
        const char* outer;
    } cases[] = {
        {SIM_AT_STATUS, true, 2, "LOCKED", "faild to send status packet\n"},
        {SIM_AT_RESET, false, 5, "NOCONNECT", nullptr},  // the EE wait ends at "select error"
        {SIM_AT_GETCONF, true, 9, "UNKNOWN", "faild to send DBGP_TYPE_GETCONF packet\n"},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.eeConnects = c.hook != SIM_AT_RESET;
        SimStep s = SimDcmp(3, c.code, 0);
        cfg.steps.push_back(c.before ? SimBefore(c.hook, s) : SimAt(c.hook, s));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kNoElf});
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
    {
        // While the program is served an error ends the run like any failed
        // wait: status 1.
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
}

// A target that never reports its EE after the reset: one whole quiet wait,
// then "timeout".
TEST(HostlinkE2E, SilenceAfterTheResetTimesOut)
{
    SimConfig cfg;
    cfg.eeConnects = false;
    cfg.sampleOpens = false;
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kNoElf});
    ProcResult r = run.Wait();
    EXPECT_TRUE(InOrder(r.out, {"Target reset.\n", "timeout\n"}));
    EXPECT_EQ(r.status, 255);
    EXPECT_GT(run.Elapsed(), 8.0);
    EXPECT_LT(run.Elapsed(), 14.0);
}

// ---- loading and serving ----------------------------------------------------------------

// The example program lands in target memory byte for byte, whatever units
// and packet limits the target asks for, and is started at its entry with
// its gp and the arguments.
TEST(HostlinkE2E, LoadsTheExampleProgram)
{
    ElfInfo elf = ReadElf(kExampleElf);
    ASSERT_TRUE(elf.ok) << kExampleElf;
    struct Conf {
        uint32_t align, limitAlign, limitSize;
    } confs[] = {{0x1f, 0, 0}, {0x400, 0, 0}, {0x11, 0x11, 100}, {0, 0, 0}};
    for (const Conf& c : confs) {
        SimConfig cfg;
        cfg.memAlign = c.align;
        cfg.memLimitAlign = c.limitAlign;
        cfg.memLimitSize = c.limitSize;
        cfg.sampleOpens = false;
        cfg.steps.push_back(SimTty("running\r\n"));
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf, "first", "-second"});
        SCOPED_TRACE("mem_align " + std::to_string(c.align) + " limit " +
                     std::to_string(c.limitSize));
        // The program runs once hostlink has taken the run reply: the console
        // text behind it shows that.
        bool ran = WaitForOutput(run.proc, "running", 10);
        int want = ran ? EndServing(run) : -1;
        ProcResult r = run.Wait();
        ASSERT_TRUE(ran) << r.out << Dump(run.sim);
        EXPECT_EQ(r.status, want) << r.out;

        uint64_t total = 0;
        for (const ElfInfo::Seg& s : elf.segs) {
            std::vector<uint8_t> mem;
            ASSERT_TRUE(SimReadMem(run.sim, s.vaddr, (uint32_t)s.bytes.size(), &mem))
                << "segment at " << s.vaddr;
            EXPECT_TRUE(mem == s.bytes) << "segment at " << s.vaddr;
            total += s.bytes.size();
        }
        EXPECT_EQ(SimMemBytes(run.sim), total) << "nothing written twice or beyond the images";
        SimRunInfo info = SimRun(run.sim);
        EXPECT_EQ(info.entry, elf.entry);
        EXPECT_EQ(info.gp, elf.gp);
        EXPECT_NE(info.gp, 0u);
        ASSERT_EQ(info.args.size(), 3u);
        EXPECT_NE(info.args[0].find("hostlink"), std::string::npos);
        EXPECT_EQ(info.args[1], "first");
        EXPECT_EQ(info.args[2], "-second");
        EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    }
}

// A target that refuses part of the load: each refusal ends the run with
// its own stack of lines and nothing after it is sent.
TEST(HostlinkE2E, RefusedLoadEndsTheRun)
{
    struct Case {
        const char* name;
        uint8_t getconf, wrmem, run;
        uint32_t limit;
        std::vector<std::string> lines;
    } cases[] = {
        {"configuration", 1, 0, 0, 0,
         {"cannot get DBGP configuration data\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_GETCONF packet\n"}},
        {"second write", 0, 1, 0, 0,
         {"DBGP_TYPE_WRMEM failed\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_WRMEM packet\n"}},
        {"run", 0, 0, 1, 0,
         {"DBGP_TYPE_RUN failed\n", "receive error\n", "select error\n",
          "faild to send DBGP_TYPE_RUN packet\n"}},
        {"no room for data", 0, 0, 0, 32, {"Loading program"}},
    };
    for (const Case& c : cases) {
        SimConfig cfg;
        cfg.sampleOpens = false;
        cfg.getconfResult = c.getconf;
        cfg.wrmemResult = c.wrmem;
        cfg.wrmemFailNth = 1;
        cfg.runResult = c.run;
        cfg.memAlign = 0x11;  // code 4, and 0 for the odd ends
        cfg.memLimitAlign = c.limit ? 0x11 : 0;
        cfg.memLimitSize = c.limit;
        Session run(cfg);
        ASSERT_NE(run.sim, nullptr);
        run.Start({kExampleElf});
        ProcResult r = run.Wait();
        SCOPED_TRACE(c.name);
        std::vector<std::string> want = c.lines;
        want.push_back("cannot download program\n");
        EXPECT_TRUE(InOrder(r.out, want));
        EXPECT_EQ(r.status, 255);
        std::vector<SimRecord> dbgp = FromHost(run.sim, SIM_PROTO_DBGP);
        size_t expected = c.getconf ? 1 : c.wrmem ? 3 : c.limit ? 1 : 0;
        if (expected) {
            EXPECT_EQ(dbgp.size(), expected) << Dump(run.sim);
        }
        EXPECT_FALSE(SimRun(run.sim).seen && c.run == 0) << "no program was started";
    }
}

// A file session as the target's program would run it, then a break report
// that ends the run with status 1.
TEST(HostlinkE2E, ServesFilesThenStopsAtABreak)
{
    std::string dir = MakeTempDir("hostlink-drfp");
    ASSERT_FALSE(dir.empty());
    std::string content(150000, '\0');
    for (size_t i = 0; i < content.size(); i++)
        content[i] = (char)(i * 7 + i / 251);
    ASSERT_EQ(mkdir((dir + "/data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/data/levels").c_str(), 0755), 0);
    WriteFile(dir + "/data/levels/one.bin", content);
    const uint32_t size = (uint32_t)content.size();

    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {
        SimTty("reading\r\n"),
        SimDrfpOpen("data/levels/one.bin"),  // 0
        SimDrfpRead(100000),                 // 1
        SimDrfpSeek(0, 2),                   // 2
        SimDrfpSeek(-1000, 2),               // 3
        SimDrfpRead(4096),                   // 4
        SimDrfpRead(4096),                   // 5
        SimDrfpSeek(10, 7),                  // 6
        SimDrfpSeek(-10, 1),                 // 7
        SimDrfpSeek(-5, 0),                  // 8
        SimDrfpClose(),                      // 9
        SimDrfpOpen("missing.bin"),          // 10
        SimDrfpCode(6, false),               // 11
        SimDrfpCode(10, false),              // 12
        SimDrfpOpen("data/levels/one.bin"),  // 13: the server goes on
        SimDrfpClose(),                      // 14
        SimDrfpRead(16),                     // 15: a handle closed already
        SimDrfpSeek(0, 0),                   // 16
        SimDrfpClose(),                      // 17
        SimDrfpOpen(std::string(300, 'n')),  // 18: longer than any name kept
        SimDrfpOpen("data/levels/one.bin"),  // 19
        SimDrfpSeek(5, 0),                   // 20
        SimDrfpRead(3),                      // 21
        SimBreak(1, 0),
    };
    // Sequence numbers at both ends of their range come back unchanged.
    cfg.steps[20].seqnum = 0xffffffffu;
    cfg.steps[21].seqnum = 0;
    cfg.steps[22].seqnum = 0x00010000;
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = dir;
    run.Start({kExampleElf}, opt);
    ProcResult r = run.Wait();
    std::vector<SimDrfpResult> d = SimDrfpResults(run.sim);
    ASSERT_EQ(d.size(), 22u) << r.out << Dump(run.sim);

    EXPECT_EQ(d[0].result, 0u);
    EXPECT_NE(d[0].value, 0u);
    EXPECT_EQ(d[1].value, 32768u);
    EXPECT_EQ(d[1].length, 32792u);
    EXPECT_TRUE(d[1].data == std::vector<uint8_t>(content.begin(), content.begin() + 32768));
    EXPECT_EQ(d[2].value, size);
    EXPECT_EQ(d[3].value, size - 1000);
    EXPECT_EQ(d[4].result, 0u);
    EXPECT_EQ(d[4].value, 1000u);
    EXPECT_EQ(d[4].length, 1024u);
    EXPECT_TRUE(d[4].data == std::vector<uint8_t>(content.end() - 1000, content.end()));
    EXPECT_EQ(d[5].value, 0u);
    EXPECT_EQ(d[5].length, 24u);
    EXPECT_EQ(d[6].result, 0u);
    EXPECT_EQ(d[6].value, 10u);
    EXPECT_EQ(d[7].value, 0u);
    EXPECT_EQ(d[8].result, 9u);
    EXPECT_EQ(d[9].result, 0u);
    EXPECT_EQ(d[10].result, 2u);
    EXPECT_EQ(d[10].value, 0u);
    EXPECT_FALSE(d[11].replied);
    EXPECT_FALSE(d[12].replied);
    EXPECT_EQ(d[13].result, 0u);
    EXPECT_EQ(d[14].result, 0u);
    // A stale handle is refused, never used.
    EXPECT_EQ(d[15].result, 5u);
    EXPECT_EQ(d[15].value, 0u);
    EXPECT_EQ(d[15].length, 24u);
    EXPECT_EQ(d[16].result, 9u);
    EXPECT_EQ(d[17].result, 9u);
    EXPECT_EQ(d[18].result, 2u);
    EXPECT_EQ(d[18].value, 0u);
    EXPECT_EQ(d[20].value, 5u);
    EXPECT_EQ(d[21].value, 3u);
    EXPECT_TRUE(d[21].data == std::vector<uint8_t>(content.begin() + 5, content.begin() + 8));
    EXPECT_EQ(d[19].rseq, 0xffffffffu);
    EXPECT_EQ(d[20].rseq, 0u);
    EXPECT_EQ(d[21].rseq, 0x00010000u);
    for (size_t i = 0; i < d.size(); i++) {
        if (!d[i].replied)
            continue;
        EXPECT_EQ(d[i].rseq, d[i].seqnum) << "reply " << i;
        EXPECT_EQ(d[i].rcode, d[i].code + 1) << "reply " << i;
        EXPECT_EQ(d[i].destination, 'I') << "reply " << i;
    }

    std::string shown = UnderLauncher() ? "data\\levels\\one.bin" : "data/levels/one.bin";
    EXPECT_TRUE(InOrder(r.out, {"reading\n", "fopen(" + shown + ", \"rb\")\n",
                                "missing.bin - file not found\n", "Unknown DRFP message\n",
                                "break code 0x1  result 0x0\n",
                                "target program breaked by unknown reason\n", "receive error\n"}));
    EXPECT_EQ(Count(r.out, "Unknown DRFP message"), 1u) << "code 6 is dropped silently";
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    RemoveTree(dir);
}

// A target that stays quiet while its program runs is served on: a quiet
// wait with no request outstanding is not a failure.
TEST(HostlinkE2E, ServingOutlastsAQuietWait)
{
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {SimSleep(10500), SimTty("still here\r\n"), SimSync(), SimMark("done")};
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    bool done = SimWaitMark(run.sim, "done", 14000);
    int want = done ? EndServing(run) : -1;
    ProcResult r = run.Wait();
    EXPECT_TRUE(done) << r.out;
    EXPECT_TRUE(InOrder(r.out, {"Loading program", "still here\n"}));
    EXPECT_EQ(Count(r.out, "timeout"), 0u);
    EXPECT_EQ(r.status, want);
    SimRunInfo info = SimRun(run.sim);
    ASSERT_EQ(info.args.size(), 1u) << "no program arguments: the program name alone";
    EXPECT_EQ(info.argc, 1u);
}

// Pointer samples go out only once the target has opened their protocol,
// and keep flowing; an interrupt while serving ends the run with 0.
TEST(HostlinkE2E, SamplesFlowOnceOpenedAndInterruptEndsServing)
{
    SimConfig cfg;
    cfg.sampleOpens = false;
    cfg.steps = {
        SimSleep(300),
        SimMark("before"),
        SimDcmp(2, 1, SIM_PROTO_SAMPLE),
        SimWaitSamples(20, 5000),
        SimMark("flowing"),
    };
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    run.Start({kExampleElf});
    ASSERT_TRUE(SimWaitMark(run.sim, "before", 10000));
    int before = SimSamples(run.sim);
    bool flowing = SimWaitMark(run.sim, "flowing", 10000);
    int want = EndServing(run);
    ProcResult r = run.Wait();
    EXPECT_EQ(before, 0);
    EXPECT_TRUE(flowing) << r.out;
    EXPECT_EQ(r.status, want) << r.out;
    EXPECT_TRUE(InOrder(r.out, {"DCMP_TYPE_STATUS: PROTO\n", "proto/node=0xe000\n"}));
    {
        EXPECT_GE(SimSamples(run.sim), 20);
        std::vector<SimRecord> s = FromHost(run.sim, SIM_PROTO_SAMPLE);
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s[0].bytes, (std::vector<uint8_t>{20, 0, 0, 0, 0x00, 0xe0, 'H', 'E', 1, 0, 0,
                                                    0, 1, 0, 0, 0, 1, 0, 0, 0}));
        EXPECT_TRUE(SimProblems(run.sim).empty()) << Dump(run.sim);
    }
}

// The demo as people see it: the example program greets, copies the data
// file named on the command line to the console and says goodbye.
TEST(HostlinkE2E, DemoScenarioCopiesTheDataFile)
{
    SimConfig cfg;
    ASSERT_TRUE(SimScenario("demo", &cfg));
    Session run(cfg);
    ASSERT_NE(run.sim, nullptr);
    ProcOptions opt;
    opt.cwd = DSNETSIM_EXAMPLES_DIR;
    run.Start({"demo.elf", "demo-data/hello.txt"}, opt);
    bool done = SimWaitMark(run.sim, "done", 10000) && WaitForOutput(run.proc, "demo: done", 5);
    int want = done ? EndServing(run) : -1;
    ProcResult r = run.Wait();
    ASSERT_TRUE(done) << r.out << Dump(run.sim);
    std::ifstream in(std::string(DSNETSIM_EXAMPLES_DIR) + "/demo-data/hello.txt");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(InOrder(r.out, {"demo: hello from the target\n", text, "demo: done\n"}));
    EXPECT_EQ(r.status, want);
}

// The demo's own command line: the simulator program starts hostlink,
// plays the demo and interrupts hostlink once the program has finished.
TEST(HostlinkE2E, SimulatorProgramRunsTheDemo)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the simulator program is built natively only";
    struct stat st;
    if (stat(ToolPath("dsnetsim").c_str(), &st) != 0)
        GTEST_SKIP() << "build the dsnetsim target to run this test";
    ProcOptions opt;
    opt.cwd = DSNETSIM_EXAMPLES_DIR;
    opt.timeoutSec = 30;
    ProcResult r = RunTool("dsnetsim", {"-s", "demo", "--run", ToolPath("hostlink"), "demo.elf",
                                        "demo-data/hello.txt"},
                           opt);
    EXPECT_TRUE(InOrder(r.out, {"listening on 127.0.0.1:", "demo: hello from the target\n",
                                "Hello from the workstation's disk.\n", "demo: done\n"}));
    EXPECT_NE(r.err.find("hostlink exited with status 0"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}
