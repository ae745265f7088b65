// hostlink end to end under chaos: the built program against sessions that
// send it random good and bad packets at every phase of a run. However the
// traffic goes, hostlink must end by itself with one of its documented
// statuses, without a crash, a sanitizer report or a hang.
//
// E2E_CHAOS_SEED and E2E_CHAOS_ROUNDS change the seed and the number of
// rounds; a failed round prints what it did and how to run it again.
#include <signal.h>
#include <stdlib.h>

#include <map>

#include <gtest/gtest.h>

#include "chaos.h"
#include "dsnetsim.h"
#include "proc.h"

namespace {

const char kNever[] = "\x01chaos: never printed\x02";

// hostlink run through the end-to-end process helpers.
struct ProcChild {
    Proc proc;
    bool running = false;
    double limitSec = 40;
    std::string out;  // the last run's standard output
};

bool Start(void* ctx, const std::vector<std::string>& args, const std::string& cwd)
{
    ProcChild* c = (ProcChild*)ctx;
    ProcOptions opt;
    opt.cwd = cwd;
    opt.timeoutSec = c->limitSec + 10;
    c->proc = StartTool("hostlink", args, opt);
    c->running = c->proc.pid > 0;
    return c->running;
}

// Ended once both of its output pipes have closed.
bool Ended(void* ctx, int waitMs)
{
    ProcChild* c = (ProcChild*)ctx;
    if (c->proc.outFd >= 0 || c->proc.errFd >= 0)
        WaitForOutput(c->proc, kNever, waitMs / 1000.0);
    return c->proc.outFd < 0 && c->proc.errFd < 0;
}

void Interrupt(void* ctx) { SignalTool(((ProcChild*)ctx)->proc, SIGINT); }

int Finish(void* ctx, std::string* err)
{
    ProcChild* c = (ProcChild*)ctx;
    if (!c->running)
        return -1;
    if (c->proc.outFd >= 0 || c->proc.errFd >= 0)
        SignalTool(c->proc, SIGKILL);
    ProcResult r = WaitTool(c->proc);
    c->running = false;
    c->out = r.out;
    *err = r.err;
    return r.status;
}

ChaosChild MakeChild(ProcChild* c)
{
    ChaosChild child;
    child.ctx = c;
    child.start = Start;
    child.ended = Ended;
    child.interrupt = Interrupt;
    child.finish = Finish;
    return child;
}

unsigned long long EnvNumber(const char* name, unsigned long long dflt)
{
    const char* v = getenv(name);
    return v && *v ? strtoull(v, nullptr, 0) : dflt;
}

std::string Describe(const ChaosPlan& plan, const ChaosResult& res, const std::string& out)
{
    std::string s = "round " + std::to_string(plan.round) + " of seed " +
                    std::to_string(plan.seed) + ": " + res.why + " (status " +
                    std::to_string(res.status) + ")\nrecipe:\n";
    for (const std::string& line : plan.recipe)
        s += "  " + line + "\n";
    s += "stdout ends:\n" + (out.size() > 1500 ? out.substr(out.size() - 1500) : out);
    s += "\nstderr ends:\n" + res.errTail;
    s += "\nreplay: E2E_CHAOS_SEED=" + std::to_string(plan.seed) +
         " or dsnetsim --chaos 1 --seed " + std::to_string(plan.seed) + " --first " +
         std::to_string(plan.round) + " --quick -v --run <hostlink>\n";
    return s;
}

}  // namespace

TEST(HostlinkChaos, RandomTrafficNeverCrashesOrHangsIt)
{
    ChaosOptions opt;
    // Long silences have their own test below.
    opt.longWaits = false;
    int rounds = (int)EnvNumber("E2E_CHAOS_ROUNDS", 30);
    if (UnderLauncher()) {
        // A handful, without what differs there: signals reach the program
        // differently, its host name may not be ours, and a command line has
        // a lower limit.
        opt.signals = false;
        opt.ownHost = false;
        opt.hugeArgs = false;
        rounds = (int)EnvNumber("E2E_CHAOS_ROUNDS", 6);
    }
    unsigned long long seed = EnvNumber("E2E_CHAOS_SEED", 20261209);
    std::string dir = MakeTempDir("chaos");
    ASSERT_FALSE(dir.empty());
    ProcChild proc;
    ChaosChild child = MakeChild(&proc);
    std::map<int, int> statuses;
    for (int round = 0; round < rounds; round++) {
        ChaosPlan plan = ChaosMakePlan(seed, round, opt);
        ASSERT_TRUE(ChaosPrepareDir(plan, dir));
        ChaosResult res = ChaosRunRound(plan, dir, child, 30);
        statuses[res.status]++;
        if (res.failed)
            ADD_FAILURE() << Describe(plan, res, proc.out);
    }
    RemoveTree(dir);
    // The rounds reached more than one way of ending: the traffic did
    // take hostlink down different roads.
    EXPECT_GE(statuses.size(), 2u);
}

// A peer that stops partway through a packet and a request that is never
// answered, each outwaiting hostlink's own 10 s wait: it must give up by
// itself, with its documented status, before the session closes on it.
TEST(HostlinkChaos, GivesUpOnStalledPacketsAndUnansweredRequests)
{
    if (UnderLauncher())
        GTEST_SKIP() << "the waits are the same code under the launcher; too slow to repeat there";
    std::string dir = MakeTempDir("chaos-stall");
    ASSERT_FALSE(dir.empty());
    ProcChild proc;
    ChaosChild child = MakeChild(&proc);

    std::vector<uint8_t> text(4, 0);
    text.insert(text.end(), 100, 't');
    std::vector<uint8_t> tty = SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST, text);

    struct Case {
        int hook;
        bool dropReply;
        size_t partial;  // bytes of the console text packet sent before the silence
        int status;      // what hostlink must end with
        const char* said;
    } cases[] = {
        {SIM_AT_RUN, false, 60, 1, "read() failed."},     // mid-body, while serving
        {SIM_AT_WRMEM, true, 0, 255, "timeout"},          // a write never answered
    };
    for (const Case& c : cases) {
        ChaosPlan plan;
        plan.args = {"prog.elf"};
        plan.elfName = "prog.elf";
        plan.entry = 0x00100000;
        SimSegment seg;
        seg.vaddr = 0x00100000;
        seg.data.assign(3000, 0x5a);
        plan.segs.push_back(seg);
        plan.mustEndFirst = true;
        plan.cfg.sampleOpens = false;
        plan.cfg.sessionLimitMs = 30000;
        plan.cfg.idleTimeoutMs = 1500;
        if (c.dropReply)
            plan.cfg.steps.push_back(SimBefore(c.hook, SimDropReply()));
        if (c.partial)
            plan.cfg.steps.push_back(SimAt(c.hook, SimRaw(std::vector<uint8_t>(
                                                       tty.begin(), tty.begin() + (long)c.partial))));
        plan.cfg.steps.push_back(c.dropReply ? SimBefore(c.hook, SimSleep(14000))
                                             : SimAt(c.hook, SimSleep(14000)));
        plan.cfg.steps.push_back(c.dropReply ? SimBefore(c.hook, SimMark("outwaited"))
                                             : SimAt(c.hook, SimMark("outwaited")));
        plan.cfg.steps.push_back(SimAt(c.hook, SimCloseAfter({}, 0)));
        ASSERT_TRUE(ChaosPrepareDir(plan, dir));
        ChaosResult res = ChaosRunRound(plan, dir, child, 30);
        EXPECT_FALSE(res.failed) << res.why << "\n" << proc.out;
        EXPECT_EQ(res.status, c.status) << proc.out;
        EXPECT_NE(proc.out.find(c.said), std::string::npos) << proc.out;
        EXPECT_LT(res.seconds, 13.5);
    }
    RemoveTree(dir);
}
