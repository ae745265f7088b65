// What the parts of a chaos recipe share: the deterministic generator every
// choice is drawn from, the random packets, and the points of a run where
// faults are placed. Internal to the chaos files; the rounds' interface is
// chaos.h.
//
// A recipe depends on the seed and the round alone, so the order in which
// things are drawn from the generator is part of the recipe: code that
// draws must keep its order, or every recorded round changes.
#ifndef DSNETSIM_CHAOSGEN_H
#define DSNETSIM_CHAOSGEN_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "chaos.h"

namespace chaos {

// ---- a small deterministic generator ----

struct Rng {
    uint64_t s;
};

static inline uint64_t Next(Rng* r)
{
    uint64_t z = (r->s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static inline uint32_t Below(Rng* r, uint32_t n) { return n ? (uint32_t)(Next(r) % n) : 0; }
static inline uint32_t Between(Rng* r, uint32_t lo, uint32_t hi)
{
    return lo + Below(r, hi - lo + 1);
}
static inline bool Chance(Rng* r, int percent) { return (int)Below(r, 100) < percent; }

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- packets, good and bad (chaos_packets.cpp) ----

typedef std::vector<uint8_t> Bytes;

// Names a round's target may ask to open: present, a directory, missing,
// empty, climbing out and back, and one full of format directives.
extern const char* const kOpenNames[7];

// Something hostlink must survive, described in *what. With fatalPercent
// the chance that it is one that rightly ends the run (unknown protocol,
// bad framing, an error message, a failed reply, a break). *ownerReply is
// set for a successful status reply that names an owner, which (arriving
// before the real one) may rightly make hostlink stop with 0.
Bytes Junk(Rng* r, int fatalPercent, bool* ownerReply, std::string* what);

// ---- where faults go (chaos_faults.cpp) ----

// A moment of the run: a request's reply (the nth of its kind), before or
// after it is sent.
struct Point {
    int hook;
    int nth;
    bool before;
};

std::string PointText(const Point& at);
// Ties the step to the point and adds its line to the recipe.
void Add(ChaosPlan* plan, const Point& at, SimStep s, const std::string& text);
// Sends `pkt` whole, split, a byte at a time, in two parts with a pause, or
// on a connection hostlink no longer reads.
void Deliver(Rng* r, ChaosPlan* plan, const Point& at, const Bytes& pkt, const std::string& what);
// Ends the session at this point, cleanly or in the middle of a packet.
void CloseHere(Rng* r, ChaosPlan* plan, const Point& at);
// Has hostlink interrupted (SIGINT) at this point.
void Interrupt(ChaosPlan* plan, const Point& at);
// A silence longer than hostlink's own waits, after `partial` bytes.
void LongWait(ChaosPlan* plan, const Point& at, const Bytes& partial);
// One of the two connections that only register goes away.
void CloseRegisterConn(Rng* r, ChaosPlan* plan, const Point& at);
// One fault at a point of the claim, the EE wait or the load.
void FaultAt(Rng* r, ChaosPlan* plan, const Point& at, int fatalPercent, bool mayDrop);
Point ClaimPoint(Rng* r);
Point LoadPoint(Rng* r);

}  // namespace chaos

#endif
