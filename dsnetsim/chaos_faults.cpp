// Where chaos goes in a run: the points of the claim, the EE wait and the
// load where a fault is placed, the ways a packet is delivered, and the
// faults themselves (bad packets, replies that never come, closes, lost
// connections, interrupts, silences longer than hostlink's waits).
#include "chaosgen.h"
#include "simwire.h"

namespace chaos {

static const char* HookName(int hook)
{
    static const char* names[] = {"accept", "status", "connect", "comment",
                                  "reset",  "getconf", "wrmem",  "run"};
    return hook >= 0 && hook < SIM_HOOK_COUNT ? names[hook] : "?";
}

std::string PointText(const Point& at)
{
    return Fmt("%s#%d %s reply", HookName(at.hook), at.nth, at.before ? "before" : "after");
}

void Add(ChaosPlan* plan, const Point& at, SimStep s, const std::string& text)
{
    s.hook = at.hook;
    s.nth = at.nth;
    s.beforeReply = at.before;
    plan->cfg.steps.push_back(s);
    plan->recipe.push_back(PointText(at) + ": " + text);
}

// Sends `pkt` whole, split, a byte at a time, in two parts with a pause
// well inside hostlink's wait for the rest, or on a connection hostlink
// does not read any more.
void Deliver(Rng* r, ChaosPlan* plan, const Point& at, const Bytes& pkt, const std::string& what)
{
    SimStep s = SimRaw(pkt);
    std::string how;
    uint32_t pick = Below(r, 100);
    if (pkt.size() > 1 && pick < 20) {
        s.split = (int)Between(r, 1, (uint32_t)pkt.size() - 1);
        how = Fmt(", split after %d bytes", s.split);
    } else if (pkt.size() > 1 && pkt.size() <= 48 && pick < 30) {
        s.byteDelayMs = (int)Below(r, 4);
        how = Fmt(", a byte at a time %d ms apart", s.byteDelayMs);
    } else if (pkt.size() > 1 && pick < 40) {
        size_t cut = Between(r, 1, (uint32_t)pkt.size() - 1);
        int pause = (int)Between(r, 50, 1500);
        Add(plan, at, SimRaw(Bytes(pkt.begin(), pkt.begin() + (long)cut)),
            what + Fmt(", first %zu bytes", cut));
        Add(plan, at, SimSleep(pause), Fmt("%d ms mid-packet", pause));
        Add(plan, at, SimRaw(Bytes(pkt.begin() + (long)cut, pkt.end())), "the rest of it");
        return;
    } else if (pick < 44 && at.hook != SIM_AT_ACCEPT) {
        s.conn = (int)Between(r, 1, 2);
        how = Fmt(", on connection %d", s.conn);
    }
    Add(plan, at, s, what + how);
}

// Ends the session at this point: a plain close, or one in the middle of a
// header or a body, or after a header that claims more than ever comes.
void CloseHere(Rng* r, ChaosPlan* plan, const Point& at)
{
    bool ignored = false;
    std::string what;
    Bytes pkt = Junk(r, 0, &ignored, &what);
    switch (Below(r, 4)) {
    case 0:
        Add(plan, at, SimCloseAfter({}, 0), "close");
        break;
    case 1: {
        size_t keep = Between(r, 1, 7);
        Add(plan, at, SimCloseAfter(pkt, keep), Fmt("close after %zu header bytes of %s", keep, what.c_str()));
        break;
    }
    case 2: {
        size_t keep = pkt.size() > 9 ? Between(r, 8, (uint32_t)pkt.size() - 1) : 8;
        Add(plan, at, SimCloseAfter(pkt, keep), Fmt("close after %zu bytes of %s", keep, what.c_str()));
        break;
    }
    default: {
        Bytes claim(8 + Below(r, 200), 'c');
        SimPut16(&claim[0], (uint16_t)Between(r, (uint32_t)claim.size() + 1, 65535));
        SimPut16(&claim[2], 0);
        SimPut16(&claim[4], SIM_PROTO_TTYP);
        claim[6] = SIM_NODE_EE;
        claim[7] = SIM_NODE_HOST;
        Add(plan, at, SimCloseAfter(claim, claim.size()),
            Fmt("close after %zu bytes of a packet claiming %u", claim.size(), SimGet16(&claim[0])));
        break;
    }
    }
}

void Interrupt(ChaosPlan* plan, const Point& at)
{
    plan->interrupt = true;
    Add(plan, at, SimMark("interrupt"), "interrupt hostlink (SIGINT)");
    // Time for it to act on the request before anything else happens.
    Add(plan, at, SimSleep(3000), "wait up to 3000 ms");
}

// A silence longer than hostlink's own waits: it must give up by itself,
// before the close that ends this step.
void LongWait(ChaosPlan* plan, const Point& at, const Bytes& partial)
{
    plan->mustEndFirst = true;
    plan->cfg.sessionLimitMs = 30000;
    if (!partial.empty())
        Add(plan, at, SimRaw(partial), Fmt("%zu bytes of a packet, then nothing", partial.size()));
    Add(plan, at, SimSleep(14000), "14000 ms of silence");
    Add(plan, at, SimMark("outwaited"), "hostlink should have given up by now");
    Add(plan, at, SimCloseAfter({}, 0), "close");
}

void CloseRegisterConn(Rng* r, ChaosPlan* plan, const Point& at)
{
    int conn = (int)Between(r, 1, 2);
    Add(plan, at, SimCloseConn(conn), Fmt("close connection %d alone", conn));
}

// One fault at a point of the claim, the EE wait or the load.
void FaultAt(Rng* r, ChaosPlan* plan, const Point& at, int fatalPercent, bool mayDrop)
{
    uint32_t pick = Below(r, 100);
    if (pick < 64) {
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, fatalPercent, &ownerReply, &what);
        if (ownerReply && (at.hook == SIM_AT_ACCEPT || (at.hook == SIM_AT_STATUS && at.before)))
            plan->zeroAllowed = true;
        Deliver(r, plan, at, pkt, what);
    } else if (pick < 76 && mayDrop && at.before) {
        // Something else where the reply should have been; the session's
        // idle limit ends the wait.
        Add(plan, at, SimDropReply(), "the reply never comes");
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, 0, &ownerReply, &what);
        if (ownerReply && at.hook == SIM_AT_STATUS)
            plan->zeroAllowed = true;
        Deliver(r, plan, at, pkt, what + " instead");
    } else if (pick < 84) {
        CloseHere(r, plan, at);
    } else if (pick < 88) {
        CloseRegisterConn(r, plan, at);
    } else if (pick < 92) {
        Add(plan, at, SimTty("chaos: between the exchanges\r\n"), "console text");
    } else {
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, 100, &ownerReply, &what);
        Deliver(r, plan, at, pkt, what);
    }
}

Point ClaimPoint(Rng* r)
{
    switch (Below(r, 5)) {
    case 0:
        return {SIM_AT_ACCEPT, 0, false};
    case 1:
        return {SIM_AT_STATUS, 0, Chance(r, 50)};
    case 2:
        return {SIM_AT_CONNECT, (int)Below(r, 3), Chance(r, 50)};
    case 3:
        return {SIM_AT_COMMENT, (int)Below(r, 3), Chance(r, 50)};
    default:
        return {SIM_AT_RESET, 0, true};
    }
}

Point LoadPoint(Rng* r)
{
    switch (Below(r, 4)) {
    case 0:
        return {SIM_AT_GETCONF, 0, Chance(r, 50)};
    case 1:
    case 2:
        return {SIM_AT_WRMEM, (int)Below(r, 5), Chance(r, 50)};
    default:
        return {SIM_AT_RUN, 0, true};
    }
}

}  // namespace chaos
