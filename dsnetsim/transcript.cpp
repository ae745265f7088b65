// The transcript: every packet in both directions as it passed (sample
// packets counted, only the first few kept), its one-line text form, and
// the problems the session found with what hostlink sent.
#include <stdio.h>

#include "session.h"
#include "simtime.h"
#include "simwire.h"

namespace simeng {

void Record(Sim* sim, int conn, char dir, const uint8_t* p, size_t n)
{
    uint16_t proto = n >= SIM_HDR ? SimGet16(p + 4) : 0;
    SimRecord r;
    r.conn = conn;
    r.dir = dir;
    r.t = SimNow() - sim->t0;
    r.length = (uint32_t)n;
    size_t keep = n < sim->cfg.recordBytes ? n : sim->cfg.recordBytes;
    {
        std::lock_guard<std::mutex> lock(sim->mu);
        if (dir == SIM_FROM_HOST && proto == SIM_PROTO_SAMPLE) {
            // Samples flow back to back while the protocol is open; count
            // them all but keep only the first few.
            if (sim->samples++ >= sim->cfg.sampleRecords)
                return;
        }
        r.bytes.assign(p, p + keep);
        sim->transcript.push_back(r);
    }
    if (sim->cfg.log) {
        fprintf(sim->cfg.log, "%s\n", SimFormatRecord(r).c_str());
        fflush(sim->cfg.log);
    }
}

// The protocol's name and its leading fields, for a packet of n >= 8 bytes.
static const char* Describe(const uint8_t* p, size_t n, char* detail, size_t size)
{
    switch (SimGet16(p + 4)) {
    case SIM_PROTO_NETMP:
        if (n > 9)
            snprintf(detail, size, "code 0x%02x result %u", p[8], p[9]);
        return "NETMP";
    case SIM_PROTO_DCMP:
        if (n >= 14)
            snprintf(detail, size, "type %u code %u proto 0x%04x", p[8], p[9], SimGet16(p + 12));
        return "DCMP";
    case SIM_PROTO_DBGP:
        if (n >= 16)
            snprintf(detail, size, "type 0x%02x code %u result %u", p[10], p[11], p[12]);
        return "DBGP";
    case SIM_PROTO_DRFP:
        if (n >= 16)
            snprintf(detail, size, "code %u seq %u", SimGet32(p + 8), SimGet32(p + 12));
        return "DRFP";
    case SIM_PROTO_TTYP: {
        // The text's start, quoted, with anything unprintable as a dot.
        size_t k = 0;
        detail[k++] = '"';
        for (size_t i = 12; i < n && k < 60; i++)
            detail[k++] = (p[i] >= 32 && p[i] < 127) ? (char)p[i] : '.';
        detail[k++] = '"';
        detail[k] = 0;
        return "TTYP";
    }
    case SIM_PROTO_SAMPLE:
        return "SAMPLE";
    }
    return "?";
}

}  // namespace simeng

std::string SimFormatRecord(const SimRecord& r)
{
    char line[256];
    const uint8_t* p = r.bytes.data();
    size_t n = r.bytes.size();
    int len = snprintf(line, sizeof line, "%10.6f conn%d %s %5u bytes", r.t, r.conn,
                       r.dir == SIM_TO_HOST ? "->" : "<-", r.length);
    if (n < 8 || len < 0 || (size_t)len >= sizeof line)
        return line;
    size_t at = (size_t)len;
    char detail[96] = "";
    const char* what = simeng::Describe(p, n, detail, sizeof detail);
    snprintf(line + at, sizeof line - at, " %s %c>%c %s", what, p[6] ? p[6] : '?',
             p[7] ? p[7] : '?', detail);
    return line;
}

std::vector<SimRecord> SimTranscript(Sim* sim) { return simeng::Locked(sim, sim->transcript); }

int SimSamples(Sim* sim) { return simeng::Locked(sim, sim->samples); }

std::vector<std::string> SimProblems(Sim* sim) { return simeng::Locked(sim, sim->problems); }
