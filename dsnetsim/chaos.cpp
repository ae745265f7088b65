// Chaos rounds: recipes made from a seed, the files a round needs, one round
// run against a fresh session, and the verdict on how hostlink ended.
//
// Every recipe ends the session on the simulator's side (a close, or the
// session limit as a backstop), so a hostlink that is still running well
// after that is hung, not waiting. Faults are chosen so that most rounds end
// within a second or two: a silence longer than hostlink's own 10 s waits
// is rare and asked for on purpose (ChaosOptions::longWaits).
#include "chaos.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "simwire.h"

// ---- a small deterministic generator ------------------------------------------

struct Rng {
    uint64_t s;
};

static uint64_t Next(Rng* r)
{
    uint64_t z = (r->s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static uint32_t Below(Rng* r, uint32_t n) { return n ? (uint32_t)(Next(r) % n) : 0; }
static uint32_t Between(Rng* r, uint32_t lo, uint32_t hi) { return lo + Below(r, hi - lo + 1); }
static bool Chance(Rng* r, int percent) { return (int)Below(r, 100) < percent; }

static std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static std::string Fmt(const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

// ---- packets, good and bad --------------------------------------------------------

typedef std::vector<uint8_t> Bytes;

static Bytes Body(size_t n, uint8_t fill = 0) { return Bytes(n, fill); }

static void RandomFill(Rng* r, Bytes* b, size_t from)
{
    for (size_t i = from; i < b->size(); i++)
        (*b)[i] = (uint8_t)Next(r);
}

// A body cut to a random shorter length now and then: handlers must not
// read past what arrived.
static void MaybeCut(Rng* r, Bytes* body, std::string* what)
{
    if (!body->empty() && Chance(r, 20)) {
        size_t keep = Below(r, (uint32_t)body->size());
        body->resize(keep);
        *what += Fmt(", body cut to %zu", keep);
    }
}

static const char* kOpenNames[] = {
    "data.bin", "sub/note.txt", "sub", "missing.bin", "", "sub/../data.bin", "%s%n%x.bin",
};

static Bytes TtyJunk(Rng* r, std::string* what)
{
    Bytes body(4, 0);
    std::string text;
    switch (Below(r, 8)) {
    case 0:
        text = Fmt("chaos line %u\r\n", Below(r, 1000));
        break;
    case 1:
        text = "%s%n%x%p%% formats stay text\r\n";
        break;
    case 2:
        text = std::string("first\rsecond\r\nthird\n", 21);
        break;
    case 3:
        text = std::string("before\0after\r\n", 14);
        break;
    case 4: {
        // Empty, shorter than the word before the text, or the word alone.
        size_t n = Below(r, 5);
        *what = Fmt("TTYP with a %zu-byte body", n);
        return SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST, Body(n, 'w'));
    }
    case 5: {
        static const uint32_t sizes[] = {511, 512, 513, 4096, 65523};
        size_t n = sizes[Below(r, 5)];
        text.assign(n, 'x');
        if (Chance(r, 50))
            text[Below(r, (uint32_t)n)] = '\n';
        break;
    }
    default: {
        size_t n = Between(r, 1, 300);
        Bytes b(n);
        RandomFill(r, &b, 0);
        text.assign(b.begin(), b.end());
        break;
    }
    }
    body.insert(body.end(), text.begin(), text.end());
    *what = Fmt("TTYP text of %zu bytes", text.size());
    return SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static const uint16_t kDcmpSubjects[] = {SIM_NODE_EE, SIM_NODE_IOP, SIM_NODE_HOST, SIM_PROTO_SAMPLE,
                                         SIM_PROTO_DBGP, 0xffff};

static Bytes DcmpJunk(Rng* r, bool error, std::string* what)
{
    Bytes body(6, 0);
    static const uint8_t otherTypes[] = {0, 1, 4, 5, 0xff};
    body[0] = error ? 3 : (Chance(r, 75) ? 2 : otherTypes[Below(r, 5)]);
    body[1] = (uint8_t)Below(r, 9);
    SimPut16(&body[4], kDcmpSubjects[Below(r, 6)]);
    *what = Fmt("DCMP type %u code %u about 0x%x", body[0], body[1], SimGet16(&body[4]));
    MaybeCut(r, &body, what);
    return SimPacket(SIM_PROTO_DCMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

// A DBGP packet. `failed`: a reply that reports a failure, or a break.
static Bytes DbgpJunk(Rng* r, bool failed, std::string* what)
{
    static const uint8_t replies[] = {0x01, 0x0b, 0x19};
    static const uint8_t others[] = {0x00, 0x02, 0x05, 0x0a, 0x14, 0x18, 0x1a, 0xff};
    Bytes body(8, 0);
    if (failed) {
        bool brk = Chance(r, 40);
        body[2] = brk ? 0x15 : replies[Below(r, 3)];
        body[3] = (uint8_t)Next(r);
        body[4] = brk ? (uint8_t)Next(r) : (uint8_t)Between(r, 1, 255);
    } else {
        body[2] = Chance(r, 50) ? replies[Below(r, 3)] : others[Below(r, 8)];
    }
    if (body[2] == 0x01) {
        // A configuration reply, at full length or short of its record.
        body.resize(Chance(r, 60) ? 76 : Between(r, 3, 75), 0);
        if (body.size() >= 28)
            SimPut32(&body[24], (uint32_t)Next(r));
    } else if (Chance(r, 20)) {
        body.resize(Below(r, 8));
    }
    *what = Fmt("DBGP type 0x%02x result %u, %zu-byte body", body.size() > 2 ? body[2] : 0,
                body.size() > 4 ? body[4] : 0, body.size());
    return SimPacket(SIM_PROTO_DBGP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static Bytes DrfpJunk(Rng* r, std::string* what)
{
    static const uint32_t codes[] = {0, 2, 4, 8, 6, 1, 3, 10, 0xffffffffu};
    static const uint32_t handles[] = {0, 1, 2, 3, 0xffffffffu, 0x80000000u};
    static const uint32_t counts[] = {0, 1, 4096, 32768, 32769, 0xffffffffu};
    uint32_t code = codes[Below(r, 9)];
    Bytes body(8, 0);
    SimPut32(&body[0], code);
    SimPut32(&body[4], (uint32_t)Next(r));
    *what = Fmt("DRFP code %u", code);
    if (code == 0) {
        body.resize(12, 0);
        std::string name;
        switch (Below(r, 5)) {
        case 0:
            name.assign(Between(r, 255, 300), 'n');
            break;
        case 4:
            name.assign(Chance(r, 50) ? 65527 - 5 : Between(r, 1000, 65527 - 5), 'N');
            break;
        case 1:
            name = kOpenNames[Below(r, 7)];
            break;
        default:
            name = "data.bin";
            break;
        }
        body.insert(body.end(), name.begin(), name.end());
        bool terminated = Chance(r, 70);
        if (terminated)
            body.push_back(0);
        *what += Fmt(" open of a %zu-byte name%s", name.size(), terminated ? "" : " without its NUL");
    } else {
        body.resize(24, 0);
        SimPut32(&body[8], Chance(r, 30) ? (uint32_t)Next(r) : handles[Below(r, 6)]);
        SimPut32(&body[12], code == 4 ? counts[Below(r, 6)] : (uint32_t)Next(r));
        SimPut32(&body[16], Below(r, 4));
        body.resize(code == 8 ? 20 : code == 4 ? 16 : 12);
        *what += Fmt(" handle 0x%x", SimGet32(&body[8]));
    }
    MaybeCut(r, &body, what);
    return SimPacket(SIM_PROTO_DRFP, SIM_NODE_IOP, SIM_NODE_HOST, body);
}

// A NETMP packet; `*ownerReply` is set for a successful status reply that
// names an owner, which (arriving before the real one) may rightly make
// hostlink stop with 0 for a target held by someone else.
static Bytes NetmpJunk(Rng* r, bool failed, bool* ownerReply, std::string* what)
{
    static const uint8_t replies[] = {0x01, 0x03, 0x05, 0x07};
    static const uint8_t others[] = {0x00, 0x02, 0x04, 0x06, 0x08, 0xff};
    uint8_t code = Chance(r, 60) || failed ? replies[Below(r, 4)] : others[Below(r, 6)];
    uint8_t result = failed ? (uint8_t)Between(r, 1, 255) : 0;
    Bytes body(4, 0);
    body[0] = code;
    body[1] = result;
    if (code == 0x07 && !failed && Chance(r, 60)) {
        // An owner's text: ordinary, longer than any buffer for it, or
        // running to the end of the packet without a terminator.
        body.resize(12, 0);
        size_t n = Chance(r, 40) ? Between(r, 255, 600) : Between(r, 0, 40);
        std::string owner(n, 'o');
        if (n > 3)
            memcpy(&owner[0], "%s%n", 4);
        body.insert(body.end(), owner.begin(), owner.end());
        if (Chance(r, 70))
            body.push_back(0);
        *ownerReply = true;
    }
    *what = Fmt("NETMP code 0x%02x result %u, %zu-byte body", code, result, body.size());
    if (Chance(r, 10)) {
        body.resize(Below(r, 2));
        *what += Fmt(", cut to %zu", body.size());
    }
    return SimPacket(SIM_PROTO_NETMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

// Something hostlink must survive. With fatalPercent the chance that it is
// one that rightly ends the run (unknown protocol, bad framing, an error
// message, a failed reply, a break).
static Bytes Junk(Rng* r, int fatalPercent, bool* ownerReply, std::string* what)
{
    if (Chance(r, fatalPercent)) {
        switch (Below(r, 6)) {
        case 0: {
            static const uint16_t known[] = {SIM_PROTO_DCMP, SIM_PROTO_DRFP, SIM_PROTO_TTYP,
                                             SIM_PROTO_DBGP, SIM_PROTO_NETMP};
            uint16_t proto = (uint16_t)Next(r);
            for (uint16_t k : known)
                if (proto == k)
                    proto = 0x0002;
            Bytes body(Below(r, 64));
            RandomFill(r, &body, 0);
            *what = Fmt("unknown protocol 0x%04x, %zu-byte body", proto, body.size());
            return SimPacket(proto, SIM_NODE_EE, SIM_NODE_HOST, body);
        }
        case 1:
            *what = "a sample packet sent to the workstation";
            return SimPacket(SIM_PROTO_SAMPLE, SIM_NODE_EE, SIM_NODE_HOST, Body(12, 1));
        case 2: {
            Bytes p(8 + Below(r, 16));
            RandomFill(r, &p, 0);
            SimPut16(&p[0], (uint16_t)Below(r, 8));
            *what = Fmt("length %u, below the header's size", SimGet16(&p[0]));
            return p;
        }
        case 3:
            return DcmpJunk(r, true, what);
        case 4:
            return DbgpJunk(r, true, what);
        default:
            return NetmpJunk(r, true, ownerReply, what);
        }
    }
    switch (Below(r, 9)) {
    case 8: {
        // As long as a packet can be, every byte random, for a protocol
        // hostlink handles: whatever the fields say, nothing may be read
        // or written past the packet.
        static const uint16_t protos[] = {SIM_PROTO_TTYP, SIM_PROTO_DRFP, SIM_PROTO_DCMP,
                                          SIM_PROTO_DBGP, SIM_PROTO_NETMP};
        uint16_t proto = protos[Below(r, 5)];
        Bytes body(Chance(r, 50) ? 65535 - 8 : Between(r, 1, 2000));
        RandomFill(r, &body, 0);
        if (proto == SIM_PROTO_DRFP && body.size() >= 4) {
            // A request code it serves, with random fields after it.
            SimPut32(&body[0], Below(r, 10));
        }
        if (proto == SIM_PROTO_NETMP && body.size() >= 2 && body[0] == 0x07 && body[1] == 0)
            *ownerReply = true;
        *what = Fmt("protocol 0x%04x with a %zu-byte random body", proto, body.size());
        return SimPacket(proto, SIM_NODE_EE, SIM_NODE_HOST, body);
    }
    case 0:
    case 1:
        return TtyJunk(r, what);
    case 2:
        return DcmpJunk(r, false, what);
    case 3:
        return DbgpJunk(r, false, what);
    case 4:
    case 5:
        return DrfpJunk(r, what);
    case 6:
        return NetmpJunk(r, false, ownerReply, what);
    default: {
        // Many small packets in one write: each is handled in a wait of its
        // own, the rest stay buffered meanwhile.
        size_t n = Between(r, 2, 40);
        Bytes all;
        for (size_t i = 0; i < n; i++) {
            Bytes p = Chance(r, 50)
                          ? SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST,
                                      Bytes{0, 0, 0, 0, 'b', '\r', '\n'})
                          : SimPacket(SIM_PROTO_DCMP, SIM_NODE_HOST, SIM_NODE_HOST,
                                      Bytes{2, 7, 0, 0, 0x49, 0});
            all.insert(all.end(), p.begin(), p.end());
        }
        *what = Fmt("a burst of %zu small packets", n);
        return all;
    }
    }
}

// ---- building the recipe ----------------------------------------------------------------

static const char* HookName(int hook)
{
    static const char* names[] = {"accept", "status", "connect", "comment",
                                  "reset",  "getconf", "wrmem",  "run"};
    return hook >= 0 && hook < SIM_HOOK_COUNT ? names[hook] : "?";
}

struct Point {
    int hook;
    int nth;
    bool before;
};

static std::string PointText(const Point& at)
{
    return Fmt("%s#%d %s reply", HookName(at.hook), at.nth, at.before ? "before" : "after");
}

static void Add(ChaosPlan* plan, const Point& at, SimStep s, const std::string& text)
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
static void Deliver(Rng* r, ChaosPlan* plan, const Point& at, const Bytes& pkt,
                    const std::string& what)
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
static void CloseHere(Rng* r, ChaosPlan* plan, const Point& at)
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

static void Interrupt(ChaosPlan* plan, const Point& at)
{
    plan->interrupt = true;
    Add(plan, at, SimMark("interrupt"), "interrupt hostlink (SIGINT)");
    // Time for it to act on the request before anything else happens.
    Add(plan, at, SimSleep(3000), "wait up to 3000 ms");
}

// A silence longer than hostlink's own waits: it must give up by itself,
// before the close that ends this step.
static void LongWait(ChaosPlan* plan, const Point& at, const Bytes& partial)
{
    plan->mustEndFirst = true;
    plan->cfg.sessionLimitMs = 30000;
    if (!partial.empty())
        Add(plan, at, SimRaw(partial), Fmt("%zu bytes of a packet, then nothing", partial.size()));
    Add(plan, at, SimSleep(14000), "14000 ms of silence");
    Add(plan, at, SimMark("outwaited"), "hostlink should have given up by now");
    Add(plan, at, SimCloseAfter({}, 0), "close");
}

// One fault at a point of the claim, the EE wait or the load.
static void FaultAt(Rng* r, ChaosPlan* plan, const Point& at, int fatalPercent, bool mayDrop)
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
        // One of the connections that only register goes away.
        int conn = (int)Between(r, 1, 2);
        Add(plan, at, SimCloseConn(conn), Fmt("close connection %d alone", conn));
    } else if (pick < 92) {
        Add(plan, at, SimTty("chaos: between the exchanges\r\n"), "console text");
    } else {
        bool ownerReply = false;
        std::string what;
        Bytes pkt = Junk(r, 100, &ownerReply, &what);
        Deliver(r, plan, at, pkt, what);
    }
}

static Point ClaimPoint(Rng* r)
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

static Point LoadPoint(Rng* r)
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

static void PlanProgram(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    plan->elfName = "prog.elf";
    plan->entry = 0x00100000 + 8 * Below(r, 64);
    plan->gp = (uint32_t)Next(r);
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

static void PlanServing(Rng* r, ChaosPlan* plan, const ChaosOptions& opt)
{
    Point at = {SIM_AT_RUN, 0, false};
    int n = (int)Below(r, 9);
    for (int i = 0; i < n; i++) {
        uint32_t pick = Below(r, 100);
        if (pick < 25) {
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
        } else if (pick < 35) {
            SimStep s = Chance(r, 50) ? SimDrfpRead(4096) : SimDrfpClose();
            s.useHandle = false;
            static const uint32_t handles[] = {0, 1, 7, 0xffffffffu};
            s.d = handles[Below(r, 4)];
            Add(plan, at, s, Fmt("DRFP %s of handle 0x%x, never opened", s.a == 4 ? "read" : "close", s.d));
        } else if (pick < 43) {
            Add(plan, at, SimSleep((int)Between(r, 10, 200)), "a pause");
        } else if (pick < 48) {
            // More files open at once than the server keeps: the opens past
            // its limit must be refused, the ones before it still work.
            int n = (int)Between(r, 60, 200);
            for (int k = 0; k < n; k++)
                plan->cfg.steps.push_back(SimAt(SIM_AT_RUN, SimDrfpOpen("data.bin")));
            plan->recipe.push_back(PointText(at) + Fmt(": DRFP open of \"data.bin\" %d times", n));
            Add(plan, at, SimDrfpRead(100), "DRFP read of 100 bytes");
            Add(plan, at, SimDrfpClose(), "DRFP close");
        } else if (pick < 53) {
            // The session stops taking packets for a while: hostlink's
            // sample packets and file replies back up until it reads again.
            int ms = (int)Between(r, 200, 4000);
            Add(plan, at, SimDeaf(ms), Fmt("%d ms without reading", ms));
        } else if (pick < 55) {
            // Never read again after registering: their end must not matter.
            int conn = (int)Between(r, 1, 2);
            Add(plan, at, SimCloseConn(conn), Fmt("close connection %d alone", conn));
        } else {
            bool ownerReply = false;
            std::string what;
            Bytes pkt = Junk(r, 12, &ownerReply, &what);
            Deliver(r, plan, at, pkt, what);
        }
    }

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

ChaosPlan ChaosMakePlan(uint64_t seed, int round, const ChaosOptions& opt)
{
    ChaosPlan plan;
    plan.seed = seed;
    plan.round = round;
    Rng rng = {seed ^ ((uint64_t)(uint32_t)round * 0xd1b54a32d192ed03ull)};
    Next(&rng);
    Rng* r = &rng;

    SimConfig& cfg = plan.cfg;
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
        plan.recipe.push_back("no sample protocol");

    PlanProgram(r, &plan, opt);

    // The target's debug configuration: the usual one or odd alignments and
    // packet size limits.
    if (Chance(r, 30)) {
        static const uint32_t aligns[] = {0, 1, 0x1f, 0x400, 0x10, 0xfffff800u};
        static const uint32_t limits[] = {32, 33, 36, 100, 1024, 4096, 65535};
        cfg.memAlign = Chance(r, 30) ? (uint32_t)Next(r) : aligns[Below(r, 6)];
        if (Chance(r, 50)) {
            cfg.memLimitAlign = Chance(r, 50) ? 0xffffffffu : (uint32_t)Next(r);
            cfg.memLimitSize = limits[Below(r, 7)];
        }
        plan.recipe.push_back(Fmt("target memory alignments 0x%x, limit 0x%x/%u", cfg.memAlign,
                                  cfg.memLimitAlign, cfg.memLimitSize));
    }

    // Who holds the target.
    uint32_t owner = Below(r, 100);
    if (owner < 5) {
        static const char* texts[] = {"@bench-7, target debugger", "", "%s%n%x owner"};
        cfg.owner = SIM_OWNER_OTHER;
        cfg.ownerText = owner < 2 ? std::string(Between(r, 255, 700), 'q') : texts[Below(r, 3)];
        plan.zeroAllowed = true;
        plan.recipe.push_back(Fmt("target held by another, owner text of %zu bytes", cfg.ownerText.size()));
    } else if (owner < 9 && opt.ownHost) {
        cfg.owner = SIM_OWNER_SELF;
        plan.zeroAllowed = true;
        plan.recipe.push_back("target held by this workstation");
    }
    if (Chance(r, 8) || (cfg.owner == SIM_OWNER_SELF && Chance(r, 60))) {
        plan.args.insert(plan.args.begin(), "-kickme");
        plan.recipe.push_back("-kickme");
    }

    // Failed results where success was due.
    if (Chance(r, 8)) {
        int which = (int)Below(r, SIM_NETMP_COUNT);
        cfg.netmpResult[which] = (uint8_t)Between(r, 1, 255);
        cfg.netmpFailConn = Chance(r, 50) ? -1 : (int)Below(r, 3);
        plan.recipe.push_back(Fmt("NETMP request %d fails with %u on connection %d", which,
                                  cfg.netmpResult[which], cfg.netmpFailConn));
    }
    if (Chance(r, 8)) {
        switch (Below(r, 3)) {
        case 0:
            cfg.getconfResult = (uint8_t)Between(r, 1, 255);
            plan.recipe.push_back("the debug configuration request fails");
            break;
        case 1:
            cfg.wrmemResult = (uint8_t)Between(r, 1, 255);
            cfg.wrmemFailNth = (int)Below(r, 4);
            plan.recipe.push_back(Fmt("memory write %d fails", cfg.wrmemFailNth));
            break;
        default:
            cfg.runResult = (uint8_t)Between(r, 1, 255);
            plan.recipe.push_back("the run request fails");
            break;
        }
    }

    // Claiming.
    if (Chance(r, 35)) {
        int n = (int)Between(r, 1, 2);
        for (int i = 0; i < n; i++)
            FaultAt(r, &plan, ClaimPoint(r), 25, true);
    }
    // The wait for the EE.
    if (Chance(r, 30)) {
        Point at = {SIM_AT_RESET, 0, false};
        uint32_t pick = Below(r, 100);
        if (pick < 30) {
            // The EE reports in late, after other traffic, or never.
            cfg.eeConnects = false;
            bool ownerReply = false;
            std::string what;
            Deliver(r, &plan, at, Junk(r, 10, &ownerReply, &what), what);
            if (Chance(r, 80)) {
                Add(&plan, at, SimSleep((int)Between(r, 20, 500)), "a pause");
                Add(&plan, at, SimDcmp(2, 0, SIM_NODE_EE), "DCMP EE connected, late");
            } else {
                // With nothing at all from the target the session's idle
                // limit ends the wait; sample packets would keep it busy.
                cfg.sampleOpens = false;
                plan.recipe.push_back("the EE never reports in");
            }
        } else {
            FaultAt(r, &plan, at, 20, false);
        }
    }
    // The load.
    if (Chance(r, 40)) {
        int n = (int)Between(r, 1, 2);
        for (int i = 0; i < n; i++)
            FaultAt(r, &plan, LoadPoint(r), 25, true);
    }
    // Interrupted before the serving begins: hostlink gives up with -1.
    if (opt.signals && Chance(r, 4)) {
        Point at = Chance(r, 50) ? ClaimPoint(r) : LoadPoint(r);
        at.before = false;
        Interrupt(&plan, at);
    }
    // An unanswered request outwaited: hostlink's own time-out must end it.
    if (opt.longWaits && Chance(r, 2)) {
        Point at = Chance(r, 50) ? ClaimPoint(r) : LoadPoint(r);
        if (at.hook == SIM_AT_ACCEPT)
            at = {SIM_AT_STATUS, 0, true};
        at.before = true;
        Add(&plan, at, SimDropReply(), "the reply never comes");
        LongWait(&plan, at, {});
    }

    PlanServing(r, &plan, opt);
    return plan;
}

// ---- the round's directory ------------------------------------------------------------

static bool WriteBytes(const std::string& path, const std::string& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

bool ChaosPrepareDir(const ChaosPlan& plan, const std::string& dir)
{
    std::string data(40000, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)('a' + i % 26);
    mkdir((dir + "/sub").c_str(), 0755);
    if (!WriteBytes(dir + "/data.bin", data) || !WriteBytes(dir + "/sub/note.txt", "a note\n"))
        return false;
    std::string elf = dir + "/prog.elf";
    unlink(elf.c_str());
    if (!plan.elfWritten)
        return true;
    if (!SimWriteElf(elf.c_str(), plan.entry, plan.gp, plan.segs))
        return false;
    if (plan.elfCut >= 0 && truncate(elf.c_str(), (off_t)plan.elfCut) != 0)
        return false;
    return true;
}

// ---- one round ---------------------------------------------------------------------------

static double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string ChaosJudge(const ChaosPlan& plan, int status, bool timedOut, bool signalled,
                       bool outwaited, const std::string& err)
{
    static const char* markers[] = {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                                    "runtime error:"};
    for (const char* m : markers)
        if (err.find(m) != std::string::npos)
            return Fmt("sanitizer report on stderr (\"%s\")", m);
    if (timedOut)
        return "still running at the round's time limit: killed";
    if (status > 128 && status < 128 + 65)
        return Fmt("killed by signal %d", status - 128);
    if (status != 0 && status != 1 && status != 255)
        return Fmt("exit status %d, not one of 0, 1, 255", status);
    if (status == 0 && !plan.zeroAllowed && !signalled)
        return "exit status 0 (success) though nothing in the round allows it";
    if (outwaited)
        return "still waiting for a packet (or a reply) long after its own wait should have ended";
    return std::string();
}

ChaosResult ChaosRunRound(const ChaosPlan& plan, const std::string& dir, const ChaosChild& child,
                          double limitSec)
{
    ChaosResult res;
    double t0 = Now();
    Sim* sim = SimStart(plan.cfg);
    if (!sim) {
        res.failed = true;
        res.why = "the simulator cannot listen";
        return res;
    }
    std::vector<std::string> args = {"-d", Fmt("127.0.0.1:%d", SimPort(sim))};
    args.insert(args.end(), plan.args.begin(), plan.args.end());
    if (!child.start(child.ctx, args, dir)) {
        SimStop(sim);
        res.failed = true;
        res.why = "hostlink cannot be started";
        return res;
    }
    bool outwaited = false;
    while (!child.ended(child.ctx, 50)) {
        if (plan.interrupt && !res.signalled && SimWaitMark(sim, "interrupt", 0)) {
            child.interrupt(child.ctx);
            res.signalled = true;
        }
        if (Now() - t0 > limitSec) {
            res.timedOut = true;
            break;
        }
    }
    // Whether the session had to close on a hostlink that should have given
    // up by itself is looked at before the session ends for other reasons.
    if (plan.mustEndFirst)
        outwaited = SimWaitMark(sim, "outwaited", 0);
    res.endReason = SimEndReason(sim);
    std::string err;
    res.status = child.finish(child.ctx, &err);
    SimStop(sim);
    res.seconds = Now() - t0;
    res.errTail = err.size() > 2000 ? err.substr(err.size() - 2000) : err;
    res.why = ChaosJudge(plan, res.status, res.timedOut, res.signalled, outwaited, err);
    res.failed = !res.why.empty();
    return res;
}
