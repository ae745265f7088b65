// The scripted target program: each step kind played out, from console
// text and status messages to pauses, marks for the tests and the ways a
// session can end.
#include <unistd.h>

#include <algorithm>

#include "session.h"
#include "simtime.h"

namespace simeng {

// Console text at packet offset 12, behind a word the target leaves zero.
static std::vector<uint8_t> TtyPacket(const std::string& text)
{
    std::vector<uint8_t> body(4 + text.size(), 0);
    std::copy(text.begin(), text.end(), body.begin() + 4);
    return SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static void SendBreak(Sim* sim, const SimStep& s)
{
    std::vector<uint8_t> body(8, 0);
    body[2] = 0x15;
    body[3] = (uint8_t)s.a;
    body[4] = (uint8_t)s.b;
    SendStep(sim, s, SimPacket(SIM_PROTO_DBGP, SIM_NODE_EE, SIM_NODE_HOST, body));
}

// What the read steps fetched, line by line as console text (the demo's
// program copying a file to the console).
static void EchoRead(Sim* sim, const SimStep& s)
{
    if (!sim->lastOpenOk) {
        SendStep(sim, s, TtyPacket("demo: cannot open " + sim->lastOpenName + "\r\n"));
        return;
    }
    std::string data = SimReadData(sim);
    size_t start = 0;
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        size_t end = nl == std::string::npos ? data.size() : nl;
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        SendStep(sim, s, TtyPacket(line + "\r\n"));
        start = end + 1;
    }
}

// A pause that goes on serving what hostlink sends.
static void Pause(Sim* sim, const SimStep& s)
{
    double end = SimNow() + s.a / 1000.0;
    while (!sim->ended && !sim->stopRequested && SimNow() < end)
        Pump(sim, 20);
}

static void WaitSamples(Sim* sim, const SimStep& s)
{
    int want = SimSamples(sim) + (int)s.a;
    double end = SimNow() + s.b / 1000.0;
    while (!sim->ended && !sim->stopRequested && SimSamples(sim) < want && SimNow() < end)
        Pump(sim, 20);
    if (SimSamples(sim) < want)
        Problem(sim, "fewer than %u sample packets arrived", s.a);
}

// The first bytes of a packet, then the end of every connection.
static void CloseAfter(Sim* sim, const SimStep& s)
{
    size_t keep = s.a < s.data.size() ? s.a : s.data.size();
    if (keep > 0) {
        int c = MainConn(sim);
        Record(sim, c, SIM_TO_HOST, (const uint8_t*)s.data.data(), keep);
        WriteAll(sim, c, (const uint8_t*)s.data.data(), keep);
        SimSleepMs(sim->cfg.splitDelayMs);
    }
    EndSession(sim, SIM_END_CLOSED);
}

static void Mark(Sim* sim, const SimStep& s)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->marks.insert(s.data);
    sim->cv.notify_all();
}

// Nothing read for a while; in short naps, so that a stop request is still
// seen.
static void Deaf(Sim* sim, const SimStep& s)
{
    double end = SimNow() + s.a / 1000.0;
    while (!sim->ended && !sim->stopRequested && SimNow() < end)
        SimSleepMs(10);
    sim->lastTraffic = SimNow();
}

static void CloseConn(Sim* sim, const SimStep& s)
{
    if (s.conn == 0) {
        EndSession(sim, SIM_END_CLOSED);
    } else if (s.conn > 0 && s.conn < sim->nconn && sim->conns[s.conn].fd >= 0) {
        close(sim->conns[s.conn].fd);
        sim->conns[s.conn].fd = -1;
        sim->conns[s.conn].eof = true;
    }
}

// Steps tied before a reply are queued ahead of it, and handlers only
// append: the first reply in the queue is the one this step is for.
static void DropReply(Sim* sim)
{
    for (auto it = sim->queue.begin(); it != sim->queue.end(); ++it) {
        if (it->isReply) {
            sim->queue.erase(it);
            return;
        }
    }
}

void RunStep(Sim* sim, const SimStep& s)
{
    switch (s.kind) {
    case SIM_STEP_TTY:
        SendStep(sim, s, TtyPacket(s.data));
        break;
    case SIM_STEP_DCMP:
        SendStep(sim, s, DcmpPacket((int)s.a, (int)s.b, (int)s.c));
        break;
    case SIM_STEP_RAW:
        SendStep(sim, s, std::vector<uint8_t>(s.data.begin(), s.data.end()));
        break;
    case SIM_STEP_BREAK:
        SendBreak(sim, s);
        break;
    case SIM_STEP_DRFP:
        DrfpStep(sim, s);
        break;
    case SIM_STEP_DRFP_READALL:
        DrfpReadAll(sim, s);
        break;
    case SIM_STEP_ECHO_READ:
        EchoRead(sim, s);
        break;
    case SIM_STEP_SLEEP:
        Pause(sim, s);
        break;
    case SIM_STEP_WAIT_SAMPLES:
        WaitSamples(sim, s);
        break;
    case SIM_STEP_CLOSE:
        CloseAfter(sim, s);
        break;
    case SIM_STEP_MARK:
        Mark(sim, s);
        break;
    case SIM_STEP_DEAF:
        Deaf(sim, s);
        break;
    case SIM_STEP_DRFP_FLOOD: {
        DrfpFlood(sim, s);
        SimStep deaf = s;
        deaf.a = s.c;
        Deaf(sim, deaf);
        break;
    }
    case SIM_STEP_CLOSE_CONN:
        CloseConn(sim, s);
        break;
    case SIM_STEP_DROP_REPLY:
        DropReply(sim);
        break;
    }
}

}  // namespace simeng
