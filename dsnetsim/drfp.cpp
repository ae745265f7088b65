// The target's file requests: each scripted request is built and sent as
// the IOP would send it, its reply is awaited (traffic is served meanwhile)
// and checked field by field, and the outcome is recorded for the tests.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "session.h"
#include "simtime.h"
#include "simwire.h"

namespace simeng {

// Waits for the reply to a file request, serving traffic meanwhile.
static bool WaitDrfp(Sim* sim, int waitMs, std::vector<uint8_t>* out)
{
    double end = SimNow() + waitMs / 1000.0;
    while (sim->drfpInbox.empty() && !sim->ended && !sim->stopRequested) {
        double left = end - SimNow();
        if (left <= 0)
            return false;
        Pump(sim, left > 0.05 ? 50 : (int)(left * 1000) + 1);
    }
    if (sim->drfpInbox.empty())
        return false;
    *out = std::move(sim->drfpInbox.front());
    sim->drfpInbox.pop_front();
    return true;
}

// Takes the reply's fields, as far as it is long enough to hold them.
static void ReadReply(const std::vector<uint8_t>& rp, bool keep, SimDrfpResult* res)
{
    res->replied = true;
    res->length = (uint32_t)rp.size();
    res->destination = rp[7];
    if (rp.size() >= 16) {
        res->rcode = SimGet32(&rp[8]);
        res->rseq = SimGet32(&rp[12]);
    }
    if (rp.size() >= 20)
        res->result = SimGet32(&rp[16]);
    if (rp.size() >= 24)
        res->value = SimGet32(&rp[20]);
    if (res->rcode == 5 && rp.size() > 24 && keep)
        res->data.assign(rp.begin() + 24, rp.end());
}

// A reply must be due, answer its own request, go to the IOP and have the
// length its code gives it (a read reply: its data besides).
static void CheckReply(Sim* sim, const SimStep& s, const std::vector<uint8_t>& rp,
                       const SimDrfpResult& res)
{
    if (s.noReply)
        Problem(sim, "DRFP code %u answered though no reply was due", res.code);
    else if (res.rcode != res.code + 1 || res.rseq != res.seqnum)
        Problem(sim, "DRFP reply code %u seq %u to request code %u seq %u", res.rcode, res.rseq,
                res.code, res.seqnum);
    if (rp[7] != SIM_NODE_IOP)
        Problem(sim, "DRFP reply addressed to 0x%02x", rp[7]);
    size_t want = res.rcode == 3 ? 20 : 24;
    if (res.rcode == 5)
        want = 24 + (size_t)res.value;
    if (rp.size() != want)
        Problem(sim, "DRFP reply code %u of %zu bytes, expected %zu", res.rcode, rp.size(), want);
}

static SimDrfpResult DrfpExchange(Sim* sim, const SimStep& s, const std::vector<uint8_t>& body,
                                  bool keep = true)
{
    SimDrfpResult res;
    res.code = SimGet32(&body[0]);
    res.seqnum = SimGet32(&body[4]);
    SendStep(sim, s, SimPacket(SIM_PROTO_DRFP, SIM_NODE_IOP, SIM_NODE_HOST, body));
    std::vector<uint8_t> rp;
    int wait = s.noReply ? sim->cfg.noReplyMs : sim->cfg.replyTimeoutMs;
    if (WaitDrfp(sim, wait, &rp)) {
        ReadReply(rp, keep, &res);
        CheckReply(sim, s, rp, res);
        if (res.rcode == 1 && res.result == 0)
            sim->lastHandle = res.value;
        if (res.code == 0)
            sim->lastOpenOk = res.rcode == 1 && res.result == 0;
    } else if (!s.noReply) {
        Problem(sim, "DRFP request code %u seq %u not answered", res.code, res.seqnum);
    }
    return res;
}

static void PushDrfp(Sim* sim, const SimDrfpResult& r)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->drfp.push_back(r);
}

// An open's body: a flag word, then the name (from the run's arguments when
// the step asks for one).
static void OpenBody(Sim* sim, const SimStep& s, std::vector<uint8_t>* body)
{
    std::string name = s.data;
    if (s.argIndex >= 0) {
        std::lock_guard<std::mutex> lock(sim->mu);
        if ((size_t)s.argIndex < sim->run.args.size())
            name = sim->run.args[(size_t)s.argIndex];
    }
    sim->lastOpenName = name;
    sim->lastOpenOk = false;
    body->resize(12, 0);
    body->insert(body->end(), name.begin(), name.end());
    body->push_back(0);
}

static std::vector<uint8_t> DrfpBody(Sim* sim, const SimStep& s)
{
    std::vector<uint8_t> body(8, 0);
    SimPut32(&body[0], s.a);
    SimPut32(&body[4], s.seqnum >= 0 ? (uint32_t)s.seqnum : ++sim->seq);
    uint32_t handle = s.useHandle ? sim->lastHandle : s.d;
    switch (s.a) {
    case 0:
        OpenBody(sim, s, &body);
        break;
    case 8:  // seek: handle, offset, base
        body.resize(20, 0);
        SimPut32(&body[8], handle);
        SimPut32(&body[12], s.b);
        SimPut32(&body[16], s.c);
        break;
    case 4:  // read: handle, count
        body.resize(16, 0);
        SimPut32(&body[8], handle);
        SimPut32(&body[12], s.b);
        break;
    case 2:  // close: handle
        body.resize(12, 0);
        SimPut32(&body[8], handle);
        break;
    default:  // anything else: the header and a word
        body.resize(12, 0);
        break;
    }
    return body;
}

void DrfpStep(Sim* sim, const SimStep& s) { PushDrfp(sim, DrfpExchange(sim, s, DrfpBody(sim, s))); }

void DrfpReadAll(Sim* sim, const SimStep& s)
{
    SimStep rs = s;
    rs.a = 4;
    rs.b = s.a ? s.a : 32768;
    SimDrfpResult sum;
    sum.code = 4;
    if (!sim->lastOpenOk)
        return;
    for (;;) {
        if (sim->ended || sim->stopRequested)
            break;
        bool keep;
        {
            std::lock_guard<std::mutex> lock(sim->mu);
            keep = sim->readData.size() < sim->cfg.keepReadBytes;
        }
        SimDrfpResult r = DrfpExchange(sim, rs, DrfpBody(sim, rs), keep);
        sum.replied = r.replied;
        sum.rcode = r.rcode;
        sum.result = r.result;
        if (!r.replied || r.result != 0 || r.value == 0)
            break;
        sum.value += r.value;
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->readTotal += r.value;
        size_t room = sim->cfg.keepReadBytes - std::min(sim->cfg.keepReadBytes, sim->readData.size());
        size_t take = std::min(room, r.data.size());
        sim->readData.append((const char*)r.data.data(), take);
    }
    PushDrfp(sim, sum);
}

// Unlike WriteAll, nothing is read meanwhile: the manager has stopped
// taking packets. Requests are small, so the buffers hold them all.
void DrfpFlood(Sim* sim, const SimStep& s)
{
    SimStep rs = s;
    rs.a = 4;
    std::vector<uint8_t> all;
    int conn = MainConn(sim);
    for (uint32_t i = 0; i < s.a; i++) {
        std::vector<uint8_t> p =
            SimPacket(SIM_PROTO_DRFP, SIM_NODE_IOP, SIM_NODE_HOST, DrfpBody(sim, rs));
        Record(sim, conn, SIM_TO_HOST, p.data(), p.size());
        all.insert(all.end(), p.begin(), p.end());
    }
    int fd = sim->conns[conn].fd;
    size_t off = 0;
    double end = SimNow() + 5.0;
    while (fd >= 0 && off < all.size() && SimNow() < end && !sim->stopRequested) {
        struct pollfd pf = {fd, POLLOUT, 0};
        if (poll(&pf, 1, 50) <= 0 || !(pf.revents & POLLOUT))
            continue;
        ssize_t w = send(fd, &all[off], all.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        off += w > 0 ? (size_t)w : 0;
    }
    if (off < all.size())
        Problem(sim, "DRFP flood: %zu of %zu bytes sent", off, all.size());
    sim->lastTraffic = SimNow();
}

}  // namespace simeng

// ---- public interface -----------------------------------------------------------

std::vector<SimDrfpResult> SimDrfpResults(Sim* sim) { return simeng::Locked(sim, sim->drfp); }

std::string SimReadData(Sim* sim) { return simeng::Locked(sim, sim->readData); }

uint64_t SimReadTotal(Sim* sim) { return simeng::Locked(sim, sim->readTotal); }
