// The session: the loop that works off the queue of replies and steps, the
// routing of each received packet to its protocol, and the public handles
// that start, watch and stop a session.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "session.h"
#include "simtime.h"
#include "simwire.h"

namespace simeng {

void Problem(Sim* sim, const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (sim->cfg.log)
        fprintf(sim->cfg.log, "dsnetsim: %s\n", text);
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->problems.push_back(text);
}

void EndSession(Sim* sim, int reason)
{
    if (sim->ended)
        return;
    sim->ended = true;
    for (int i = 0; i < sim->nconn; i++) {
        if (sim->conns[i].fd >= 0) {
            close(sim->conns[i].fd);
            sim->conns[i].fd = -1;
        }
    }
    std::lock_guard<std::mutex> lock(sim->mu);
    if (sim->endReason == SIM_END_NONE)
        sim->endReason = reason;
}

// ---- the queue ---------------------------------------------------------------

void QueueReply(Sim* sim, int conn, std::vector<uint8_t> pkt)
{
    SimAction a;
    a.isReply = true;
    a.conn = conn;
    a.pkt = std::move(pkt);
    sim->queue.push_back(std::move(a));
}

static void QueueHook(Sim* sim, int hook, int nth, bool before)
{
    for (const SimStep& s : sim->cfg.steps) {
        if (s.hook == hook && s.nth == nth && s.beforeReply == before) {
            SimAction a;
            a.step = s;
            sim->queue.push_back(a);
        }
    }
}

void Answer(Sim* sim, int hook, int conn, std::vector<uint8_t> reply, bool send)
{
    int nth = sim->hookCount[hook]++;
    QueueHook(sim, hook, nth, true);
    if (send)
        QueueReply(sim, conn, std::move(reply));
    QueueHook(sim, hook, nth, false);
}

// ---- receiving -------------------------------------------------------------------

void Dispatch(Sim* sim, int conn, const uint8_t* p, size_t n)
{
    Record(sim, conn, SIM_FROM_HOST, p, n);
    uint16_t proto = SimGet16(p + 4);
    const uint8_t* body = p + SIM_HDR;
    size_t blen = n - SIM_HDR;
    switch (proto) {
    case SIM_PROTO_NETMP:
        HandleNetmp(sim, conn, body, blen);
        break;
    case SIM_PROTO_DBGP:
        HandleDbgp(sim, conn, body, blen);
        break;
    case SIM_PROTO_DRFP:
        // A reply to a scripted request: the step that waits for it takes it.
        sim->drfpInbox.emplace_back(p, p + n);
        break;
    case SIM_PROTO_SAMPLE:
        if (n != 20)
            Problem(sim, "sample packet of %zu bytes", n);
        break;
    default:
        Problem(sim, "conn %d: unexpected protocol 0x%04x", conn, proto);
        break;
    }
}

// ---- the loop ------------------------------------------------------------------------

// Sends the next queued reply or runs the next queued step.
static void RunQueued(Sim* sim)
{
    SimAction a = std::move(sim->queue.front());
    sim->queue.pop_front();
    if (a.isReply)
        SendPacket(sim, a.conn < 0 ? MainConn(sim) : a.conn, a.pkt);
    else
        RunStep(sim, a.step);
}

// Ends a session that has lasted too long.
static void CheckAge(Sim* sim)
{
    if (sim->cfg.sessionLimitMs > 0 && SimNow() - sim->t0 > sim->cfg.sessionLimitMs / 1000.0)
        EndSession(sim, SIM_END_LIMIT);
}

// Ends a session that has been silent or has lasted too long.
static void CheckLimits(Sim* sim)
{
    if (SimNow() - sim->lastTraffic > sim->cfg.idleTimeoutMs / 1000.0)
        EndSession(sim, SIM_END_IDLE);
    else
        CheckAge(sim);
}

static void Session(Sim* sim)
{
    sim->t0 = SimNow();
    if (!AcceptAll(sim)) {
        EndSession(sim, sim->stopRequested ? SIM_END_STOPPED : SIM_END_ACCEPT_TIMEOUT);
    } else {
        sim->lastTraffic = SimNow();
        Answer(sim, SIM_AT_ACCEPT, 0, {}, false);
    }
    while (!sim->ended) {
        if (sim->stopRequested) {
            EndSession(sim, SIM_END_STOPPED);
            break;
        }
        if (!sim->queue.empty()) {
            RunQueued(sim);
            // A long run of queued steps (each waiting out a reply that
            // cannot come) must not outlast the session's limit.
            CheckAge(sim);
            continue;
        }
        Pump(sim, 50);
        CheckLimits(sim);
    }
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->done = true;
    sim->cv.notify_all();
}

}  // namespace simeng

// ---- public interface -----------------------------------------------------------------

Sim* SimStart(const SimConfig& cfg)
{
    int port = 0;
    int fd = simeng::Listen(cfg.port, &port);
    if (fd < 0)
        return nullptr;
    Sim* sim = new Sim;
    sim->cfg = cfg;
    sim->listenFd = fd;
    sim->port = port;
    sim->thread = std::thread(simeng::Session, sim);
    return sim;
}

int SimPort(Sim* sim) { return sim->port; }

bool SimWaitMark(Sim* sim, const char* name, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(sim->mu);
    return sim->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return sim->marks.count(name) > 0; });
}

bool SimWaitEnd(Sim* sim, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(sim->mu);
    return sim->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return sim->done; });
}

void SimHangUp(Sim* sim)
{
    sim->stopRequested = true;
    if (sim->thread.joinable())
        sim->thread.join();
}

void SimStop(Sim* sim)
{
    if (!sim)
        return;
    SimHangUp(sim);
    close(sim->listenFd);
    delete sim;
}

int SimEndReason(Sim* sim) { return simeng::Locked(sim, sim->endReason); }
