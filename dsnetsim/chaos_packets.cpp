// Chaos packets: random packets of every protocol, well-formed or not, cut
// short now and then, for hostlink to survive.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "chaosgen.h"
#include "simwire.h"

namespace chaos {

std::string Fmt(const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

const char* const kOpenNames[7] = {
    "data.bin", "sub/note.txt", "sub", "missing.bin", "", "sub/../data.bin", "%s%n%x.bin",
};

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

// An open request's name: longer than any buffer for it, up to the largest
// packet, one of the round's names, or the file that is there; with or
// without its terminator.
static void DrfpOpenName(Rng* r, Bytes* body, std::string* what)
{
    body->resize(12, 0);
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
    body->insert(body->end(), name.begin(), name.end());
    bool terminated = Chance(r, 70);
    if (terminated)
        body->push_back(0);
    *what += Fmt(" open of a %zu-byte name%s", name.size(), terminated ? "" : " without its NUL");
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
        DrfpOpenName(r, &body, what);
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

// A packet that rightly ends the run.
static Bytes FatalJunk(Rng* r, bool* ownerReply, std::string* what)
{
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

// As long as a packet can be (or up to 2000 bytes), every byte random, for
// a protocol hostlink handles: whatever the fields say, nothing may be read
// or written past the packet.
static Bytes RandomJunk(Rng* r, bool* ownerReply, std::string* what)
{
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

// Many small packets in one write: each is handled in a wait of its own,
// the rest stay buffered meanwhile.
static Bytes BurstJunk(Rng* r, std::string* what)
{
    size_t n = Between(r, 2, 40);
    Bytes all;
    for (size_t i = 0; i < n; i++) {
        Bytes p = Chance(r, 50) ? SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST,
                                            Bytes{0, 0, 0, 0, 'b', '\r', '\n'})
                                : SimPacket(SIM_PROTO_DCMP, SIM_NODE_HOST, SIM_NODE_HOST,
                                            Bytes{2, 7, 0, 0, 0x49, 0});
        all.insert(all.end(), p.begin(), p.end());
    }
    *what = Fmt("a burst of %zu small packets", n);
    return all;
}

Bytes Junk(Rng* r, int fatalPercent, bool* ownerReply, std::string* what)
{
    if (Chance(r, fatalPercent))
        return FatalJunk(r, ownerReply, what);
    switch (Below(r, 9)) {
    case 8:
        return RandomJunk(r, ownerReply, what);
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
    default:
        return BurstJunk(r, what);
    }
}

}  // namespace chaos
