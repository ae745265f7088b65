// A chaos round's recipe: the session's settings, the program file and its
// arguments, the target's debug configuration and owner, failed results,
// faults at the claim, the EE wait and the load, and the serving that
// follows. Each part draws from the one generator in a fixed order (see
// chaosgen.h): ChaosMakePlan calls them in that order.
#include "chaosgen.h"

namespace chaos {

// Bounds that keep a round short, and how split packets are paced.
static void PlanSession(Rng* r, ChaosPlan* plan)
{
    SimConfig& cfg = plan->cfg;
    cfg.keepMemory = false;
    cfg.recordBytes = 64;
    cfg.sampleRecords = 2;
    cfg.keepReadBytes = 0;
    cfg.acceptTimeoutMs = 15000;
    // A file request hostlink cannot answer yet (its replies wait behind an
    // unanswered request of its own) should not hold the round up for long.
    cfg.replyTimeoutMs = 1000;
    cfg.noReplyMs = 100;
    // A hostlink and a session that wait for each other end quickly: the
    // session closes after this much silence.
    cfg.idleTimeoutMs = 1500;
    // Waits that never fall silent (sample packets keep flowing while
    // hostlink waits for an EE that never comes) end here.
    cfg.sessionLimitMs = 8000;
    cfg.splitDelayMs = (int)Between(r, 1, 150);
    cfg.sampleOpens = Chance(r, 60);
    if (!cfg.sampleOpens)
        plan->recipe.push_back("no sample protocol");
}

// One to three segments, from a few bytes to more than one packet holds,
// some with room beyond their file bytes.
static void PlanSegments(Rng* r, ChaosPlan* plan)
{
    uint32_t addr = 0x00100000 + Below(r, 16);
    int nseg = (int)Between(r, 1, 3);
    std::string sizes;
    for (int i = 0; i < nseg; i++) {
        SimSegment s;
        s.vaddr = addr;
        uint32_t pick = Below(r, 100);
        size_t n = pick < 30 ? Between(r, 1, 64)
                   : pick < 65 ? Between(r, 65, 5000)
                   : pick < 92 ? Between(r, 60000, 70000)
                   : pick < 96 ? Between(r, 130000, 140000)
                               : 0;
        s.data.assign(n, (uint8_t)i);
        for (size_t k = 0; k < n; k += 97)
            s.data[k] = (uint8_t)Next(r);
        s.memsz = (uint32_t)n + (Chance(r, 20) ? Between(r, 1, 4096) : 0);
        sizes += Fmt("%s0x%08x+%zu", i ? ", " : "", s.vaddr, n);
        addr += ((uint32_t)s.memsz + 0x1000) & ~0xfffu;
        addr += Below(r, 16);
        plan->segs.push_back(s);
    }
    plan->recipe.push_back("program segments " + sizes);
}

// The program file (now and then missing or cut short) and its arguments.
static void PlanProgram(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    plan->elfName = "prog.elf";
    plan->entry = 0x00100000 + 8 * Below(r, 64);
    plan->gp = (uint32_t)Next(r);
    PlanSegments(r, plan);

    uint32_t broken = Below(r, 100);
    if (broken < 2) {
        plan->elfWritten = false;
        plan->elfName = "no-such.elf";
        plan->recipe.push_back("program file missing");
    } else if (broken < 6) {
        plan->elfCut = Below(r, 400);
        plan->recipe.push_back(Fmt("program file cut to %lld bytes", (long long)plan->elfCut));
    }
    plan->args.push_back(plan->elfName);

    static const char* words[] = {"-x", "arg", "%s%n", "", "two words", "-kickme", "data.bin"};
    int nargs = (int)Below(r, 4);
    for (int i = 0; i < nargs; i++)
        plan->args.push_back(words[Below(r, 7)]);
    if (opt.hugeArgs && Chance(r, 2)) {
        // Longer than one packet can describe.
        plan->args.push_back(std::string(70000, 'H'));
        plan->recipe.push_back("a program argument of 70000 bytes");
    } else if (nargs) {
        plan->recipe.push_back(Fmt("%d program arguments", nargs));
    }
}

// The target's debug configuration: the usual one or odd alignments and
// packet size limits.
static void PlanDebugConf(Rng* r, ChaosPlan* plan)
{
    SimConfig& cfg = plan->cfg;
    if (!Chance(r, 30))
        return;
    static const uint32_t aligns[] = {0, 1, 0x1f, 0x400, 0x10, 0xfffff800u};
    static const uint32_t limits[] = {32, 33, 36, 100, 1024, 4096, 65535};
    cfg.memAlign = Chance(r, 30) ? (uint32_t)Next(r) : aligns[Below(r, 6)];
    if (Chance(r, 50)) {
        cfg.memLimitAlign = Chance(r, 50) ? 0xffffffffu : (uint32_t)Next(r);
        cfg.memLimitSize = limits[Below(r, 7)];
    }
    plan->recipe.push_back(Fmt("target memory alignments 0x%x, limit 0x%x/%u", cfg.memAlign,
                               cfg.memLimitAlign, cfg.memLimitSize));
}

// Who holds the target, and whether hostlink is told to take it anyway.
static void PlanOwner(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    SimConfig& cfg = plan->cfg;
    uint32_t owner = Below(r, 100);
    if (owner < 5) {
        static const char* texts[] = {"@bench-7, target debugger", "", "%s%n%x owner"};
        cfg.owner = SIM_OWNER_OTHER;
        cfg.ownerText = owner < 2 ? std::string(Between(r, 255, 700), 'q') : texts[Below(r, 3)];
        plan->zeroAllowed = true;
        plan->recipe.push_back(
            Fmt("target held by another, owner text of %zu bytes", cfg.ownerText.size()));
    } else if (owner < 9 && opt.ownHost) {
        cfg.owner = SIM_OWNER_SELF;
        plan->zeroAllowed = true;
        plan->recipe.push_back("target held by this workstation");
    }
    if (Chance(r, 8) || (cfg.owner == SIM_OWNER_SELF && Chance(r, 60))) {
        plan->args.insert(plan->args.begin(), "-kickme");
        plan->recipe.push_back("-kickme");
    }
}

// Failed results where success was due.
static void PlanFailedResults(Rng* r, ChaosPlan* plan)
{
    SimConfig& cfg = plan->cfg;
    if (Chance(r, 8)) {
        int which = (int)Below(r, SIM_NETMP_COUNT);
        cfg.netmpResult[which] = (uint8_t)Between(r, 1, 255);
        cfg.netmpFailConn = Chance(r, 50) ? -1 : (int)Below(r, 3);
        plan->recipe.push_back(Fmt("NETMP request %d fails with %u on connection %d", which,
                                   cfg.netmpResult[which], cfg.netmpFailConn));
    }
    if (!Chance(r, 8))
        return;
    switch (Below(r, 3)) {
    case 0:
        cfg.getconfResult = (uint8_t)Between(r, 1, 255);
        plan->recipe.push_back("the debug configuration request fails");
        break;
    case 1:
        cfg.wrmemResult = (uint8_t)Between(r, 1, 255);
        cfg.wrmemFailNth = (int)Below(r, 4);
        plan->recipe.push_back(Fmt("memory write %d fails", cfg.wrmemFailNth));
        break;
    default:
        cfg.runResult = (uint8_t)Between(r, 1, 255);
        plan->recipe.push_back("the run request fails");
        break;
    }
}

// The wait for the EE: a report that comes late, after other traffic, or
// never; or one fault of any kind.
static void PlanEeWait(Rng* r, ChaosPlan* plan)
{
    if (!Chance(r, 30))
        return;
    Point at = {SIM_AT_RESET, 0, false};
    uint32_t pick = Below(r, 100);
    if (pick >= 30) {
        FaultAt(r, plan, at, 20, false);
        return;
    }
    plan->cfg.eeConnects = false;
    bool ownerReply = false;
    std::string what;
    Deliver(r, plan, at, Junk(r, 10, &ownerReply, &what), what);
    if (Chance(r, 80)) {
        Add(plan, at, SimSleep((int)Between(r, 20, 500)), "a pause");
        Add(plan, at, SimDcmp(2, 0, SIM_NODE_EE), "DCMP EE connected, late");
    } else {
        // With nothing at all from the target the session's idle limit
        // ends the wait; sample packets would keep it busy.
        plan->cfg.sampleOpens = false;
        plan->recipe.push_back("the EE never reports in");
    }
}

// Faults at the claim, the EE wait and the load; an interrupt before the
// serving begins (hostlink gives up with -1); an unanswered request
// outwaited, which hostlink's own time-out must end.
static void PlanStartFaults(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    if (Chance(r, 35)) {
        int n = (int)Between(r, 1, 2);
        for (int i = 0; i < n; i++)
            FaultAt(r, plan, ClaimPoint(r), 25, true);
    }
    PlanEeWait(r, plan);
    if (Chance(r, 40)) {
        int n = (int)Between(r, 1, 2);
        for (int i = 0; i < n; i++)
            FaultAt(r, plan, LoadPoint(r), 25, true);
    }
    if (opt.signals && Chance(r, 4)) {
        Point at = Chance(r, 50) ? ClaimPoint(r) : LoadPoint(r);
        at.before = false;
        Interrupt(plan, at);
    }
    if (opt.longWaits && Chance(r, 2)) {
        Point at = Chance(r, 50) ? ClaimPoint(r) : LoadPoint(r);
        if (at.hook == SIM_AT_ACCEPT)
            at = {SIM_AT_STATUS, 0, true};
        at.before = true;
        Add(plan, at, SimDropReply(), "the reply never comes");
        LongWait(plan, at, {});
    }
}

// ---- serving ------------------------------------------------------------------

// A file opened and perhaps read, moved in and closed.
static void ServeOpen(Rng* r, ChaosPlan* plan, const Point& at)
{
    static const uint32_t counts[] = {1, 100, 4096, 32768, 100000};
    SimStep s = SimDrfpOpen(kOpenNames[Below(r, 7)]);
    Add(plan, at, s, "DRFP open of \"" + s.data + "\"");
    if (Chance(r, 70)) {
        SimStep rd = SimDrfpRead(counts[Below(r, 5)]);
        Add(plan, at, rd, Fmt("DRFP read of %u bytes", rd.b));
    }
    if (Chance(r, 40)) {
        static const int32_t far[] = {2147483647, -2147483647 - 1, -1, 40000, 40001};
        int32_t off = Chance(r, 30) ? far[Below(r, 5)] : (int32_t)Below(r, 200001) - 100000;
        SimStep sk = SimDrfpSeek(off, Below(r, 4));
        Add(plan, at, sk, Fmt("DRFP seek %d from %u", (int32_t)sk.b, sk.c));
    }
    if (Chance(r, 60))
        Add(plan, at, SimDrfpClose(), "DRFP close");
}

// More files open at once than the server keeps: the opens past its limit
// must be refused, the ones before it still work.
static void ServeManyOpens(Rng* r, ChaosPlan* plan, const Point& at)
{
    int n = (int)Between(r, 60, 200);
    for (int k = 0; k < n; k++)
        plan->cfg.steps.push_back(SimAt(SIM_AT_RUN, SimDrfpOpen("data.bin")));
    plan->recipe.push_back(PointText(at) + Fmt(": DRFP open of \"data.bin\" %d times", n));
    Add(plan, at, SimDrfpRead(100), "DRFP read of 100 bytes");
    Add(plan, at, SimDrfpClose(), "DRFP close");
}

// One thing the running program does, or that happens to the session.
static void ServeOne(Rng* r, ChaosPlan* plan, const Point& at)
{
    uint32_t pick = Below(r, 100);
    if (pick < 25) {
        ServeOpen(r, plan, at);
    } else if (pick < 35) {
        SimStep s = Chance(r, 50) ? SimDrfpRead(4096) : SimDrfpClose();
        s.useHandle = false;
        static const uint32_t handles[] = {0, 1, 7, 0xffffffffu};
        s.d = handles[Below(r, 4)];
        Add(plan, at, s, Fmt("DRFP %s of handle 0x%x, never opened", s.a == 4 ? "read" : "close", s.d));
    } else if (pick < 43) {
        Add(plan, at, SimSleep((int)Between(r, 10, 200)), "a pause");
    } else if (pick < 48) {
        ServeManyOpens(r, plan, at);
    } else if (pick < 53) {
        // The session stops taking packets for a while: hostlink's sample
        // packets and file replies back up until it reads again.
        int ms = (int)Between(r, 200, 4000);
        Add(plan, at, SimDeaf(ms), Fmt("%d ms without reading", ms));
    } else if (pick < 55) {
        // Never read again after registering: their end must not matter.
        CloseRegisterConn(r, plan, at);
    } else {
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, 12, &ownerReply, &what);
        Deliver(r, plan, at, pkt, what);
    }
}

// How the serving ends: a packet cut short and a long silence, an
// interrupt, a close in the middle of a packet, or a plain close.
static void PlanServingEnd(Rng* r, ChaosPlan* plan, const ChaosOptions& opt, const Point& at)
{
    uint32_t end = Below(r, 100);
    if (opt.longWaits && end < 3) {
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, 0, &ownerReply, &what);
        // Junk is never shorter than a header: there is always a middle.
        size_t keep = Between(r, 1, (uint32_t)pkt.size() - 1);
        LongWait(plan, at, Bytes(pkt.begin(), pkt.begin() + (long)keep));
    } else if (opt.signals && end < 20) {
        Interrupt(plan, at);
        Add(plan, at, SimCloseAfter({}, 0), "close");
    } else if (end < 40) {
        CloseHere(r, plan, at);
    } else {
        Add(plan, at, SimCloseAfter({}, 0), "close");
    }
}

static void PlanServing(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    Point at = {SIM_AT_RUN, 0, false};
    int n = (int)Below(r, 9);
    for (int i = 0; i < n; i++)
        ServeOne(r, plan, at);
    PlanServingEnd(r, plan, opt, at);
}

}  // namespace chaos

ChaosPlan ChaosMakePlan(uint64_t seed, int round, const ChaosOptions& opt)
{
    using namespace chaos;
    ChaosPlan plan;
    plan.seed = seed;
    plan.round = round;
    Rng rng = {seed ^ ((uint64_t)(uint32_t)round * 0xd1b54a32d192ed03ull)};
    Next(&rng);
    Rng* r = &rng;

    PlanSession(r, &plan);
    PlanProgram(r, &plan, opt);
    PlanDebugConf(r, &plan);
    PlanOwner(r, &plan, opt);
    PlanFailedResults(r, &plan);
    PlanStartFaults(r, &plan, opt);
    PlanServing(r, &plan, opt);
    return plan;
}
