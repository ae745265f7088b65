// The session engine: accepts the three connections, frames packets in both
// directions, answers the manager's and the target's side of each exchange
// and plays the scripted steps.
//
// One thread owns the sockets. Request handlers never run steps themselves:
// they queue the reply and the steps tied to the request, and the top of the
// loop works the queue off. A step that waits for traffic (a file request,
// a pause) keeps serving incoming packets while it waits, so hostlink is
// never left hanging by the script.
#include "dsnetsim.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "simwire.h"

#define SIM_MAX_CONN 3
#define SIM_HDR 8

struct SimConn {
    int fd = -1;
    std::vector<uint8_t> rx;  // bytes received but not yet framed
    bool eof = false;
    int priority = -1;
    std::string comment;
};

struct SimAction {
    bool isReply = false;  // a ready packet for `conn`, or a scripted step
    int conn = 0;
    std::vector<uint8_t> pkt;
    SimStep step;
};

struct Sim {
    SimConfig cfg;
    int listenFd = -1;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stopRequested{false};

    // Owned by the session thread.
    SimConn conns[SIM_MAX_CONN];
    int nconn = 0;
    std::deque<SimAction> queue;
    std::deque<std::vector<uint8_t>> drfpInbox;  // replies not yet taken by a step
    int hookCount[SIM_HOOK_COUNT] = {};
    uint32_t seq = 0;
    uint32_t lastHandle = 0;
    bool lastOpenOk = false;
    std::string lastOpenName;
    double t0 = 0;
    double lastTraffic = 0;
    bool ended = false;

    // Shared with the test thread, under mu.
    std::mutex mu;
    std::condition_variable cv;
    std::vector<SimRecord> transcript;
    SimRunInfo run;
    std::vector<SimDrfpResult> drfp;
    std::map<uint32_t, std::vector<uint8_t>> image;  // extents by start address
    uint64_t memBytes = 0;
    int writes = 0;
    int samples = 0;
    int accepted = 0;
    std::vector<std::string> problems;
    std::set<std::string> marks;
    int endReason = SIM_END_NONE;
    bool done = false;
    std::string readData;
    uint64_t readTotal = 0;
};

static double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void SleepMs(int ms)
{
    if (ms <= 0)
        return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static void Problem(Sim* sim, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void Problem(Sim* sim, const char* fmt, ...)
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

static void Record(Sim* sim, int conn, char dir, const uint8_t* p, size_t n)
{
    uint16_t proto = n >= SIM_HDR ? SimGet16(p + 4) : 0;
    SimRecord r;
    r.conn = conn;
    r.dir = dir;
    r.t = Now() - sim->t0;
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

static void EndSession(Sim* sim, int reason)
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

// ---- receiving ---------------------------------------------------------------

static void Dispatch(Sim* sim, int conn, const uint8_t* p, size_t n);

// Takes every whole packet out of a connection's receive buffer; the number
// handled. Handlers only queue work and never read, so a packet can be
// handed over in place.
static int Frame(Sim* sim, int conn)
{
    SimConn& c = sim->conns[conn];
    size_t off = 0;
    int handled = 0;
    while (!sim->ended && c.rx.size() - off >= SIM_HDR) {
        uint16_t len = SimGet16(&c.rx[off]);
        if (len < SIM_HDR) {
            Problem(sim, "conn %d: packet length %u below the header size", conn, len);
            off = c.rx.size();
            break;
        }
        if (c.rx.size() - off < len)
            break;
        Dispatch(sim, conn, &c.rx[off], len);
        off += len;
        handled++;
    }
    if (off > 0)
        c.rx.erase(c.rx.begin(), c.rx.begin() + (long)off);
    return handled;
}

// Reads what one connection has; false when it is closed.
static bool ReadConn(Sim* sim, int conn)
{
    SimConn& c = sim->conns[conn];
    size_t have = c.rx.size();
    c.rx.resize(have + 65536);
    ssize_t got = recv(c.fd, &c.rx[have], 65536, MSG_DONTWAIT);
    c.rx.resize(have + (got > 0 ? (size_t)got : 0));
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (got <= 0) {
        c.eof = true;
        return false;
    }
    sim->lastTraffic = Now();
    return true;
}

// Serves incoming traffic for up to waitMs; returns early after a packet.
static void Pump(Sim* sim, int waitMs)
{
    if (sim->ended)
        return;
    // Bytes that came in while a send was waiting for room are framed first.
    int framed = 0;
    for (int i = 0; i < sim->nconn && !sim->ended; i++)
        framed += Frame(sim, i);
    if (framed > 0 || sim->ended)
        return;
    // The first connection carries the session; without it hostlink is gone.
    if (sim->nconn > 0 && sim->conns[0].eof) {
        EndSession(sim, SIM_END_PEER_CLOSED);
        return;
    }
    struct pollfd fds[SIM_MAX_CONN];
    int idx[SIM_MAX_CONN];
    int n = 0;
    for (int i = 0; i < sim->nconn; i++) {
        if (sim->conns[i].fd >= 0 && !sim->conns[i].eof) {
            fds[n].fd = sim->conns[i].fd;
            fds[n].events = POLLIN;
            fds[n].revents = 0;
            idx[n++] = i;
        }
    }
    if (n == 0) {
        SleepMs(waitMs);
        return;
    }
    int r = poll(fds, (nfds_t)n, waitMs);
    if (r <= 0)
        return;
    for (int k = 0; k < n && !sim->ended; k++) {
        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        int i = idx[k];
        if (!ReadConn(sim, i)) {
            if (sim->cfg.log)
                fprintf(sim->cfg.log, "dsnetsim: conn %d closed by peer\n", i);
            if (i == 0)
                EndSession(sim, SIM_END_PEER_CLOSED);
            continue;
        }
        Frame(sim, i);
    }
}

// ---- sending -----------------------------------------------------------------

// Writes all of p, reading (but not handling) what comes in meanwhile so the
// two sides never block each other on full buffers.
static bool WriteAll(Sim* sim, int conn, const uint8_t* p, size_t n)
{
    SimConn& c = sim->conns[conn];
    double end = Now() + 5.0;
    while (n > 0) {
        if (c.fd < 0)
            return false;
        struct pollfd pf = {c.fd, POLLOUT | POLLIN, 0};
        int r = poll(&pf, 1, 50);
        if (sim->stopRequested)
            return false;
        if (Now() > end) {
            Problem(sim, "conn %d: send stalled", conn);
            return false;
        }
        if (r <= 0)
            continue;
        if ((pf.revents & POLLIN) && !c.eof)
            ReadConn(sim, conn);
        if (pf.revents & (POLLERR | POLLHUP)) {
            c.eof = true;
            return false;
        }
        if (!(pf.revents & POLLOUT))
            continue;
        ssize_t w = send(c.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            c.eof = true;  // reset by the peer: nothing more will pass
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    sim->lastTraffic = Now();
    return true;
}

static void SendPacket(Sim* sim, int conn, const std::vector<uint8_t>& pkt, int split = -2,
                       int byteDelayMs = -2)
{
    if (conn >= sim->nconn || sim->conns[conn].fd < 0)
        return;
    if (split == -2)
        split = sim->cfg.split;
    if (byteDelayMs == -2)
        byteDelayMs = sim->cfg.byteDelayMs;
    Record(sim, conn, SIM_TO_HOST, pkt.data(), pkt.size());
    const uint8_t* p = pkt.data();
    size_t n = pkt.size();
    if (byteDelayMs >= 0) {
        for (size_t i = 0; i < n; i++) {
            if (!WriteAll(sim, conn, p + i, 1))
                return;
            if (i + 1 < n)
                SleepMs(byteDelayMs);
        }
        return;
    }
    if (split > 0 && (size_t)split < n) {
        if (!WriteAll(sim, conn, p, (size_t)split))
            return;
        SleepMs(sim->cfg.splitDelayMs);
        WriteAll(sim, conn, p + split, n - (size_t)split);
        return;
    }
    WriteAll(sim, conn, p, n);
}

// The connection that carries the target's traffic: the one registered with
// the highest priority, the first one until anything is registered.
static int MainConn(Sim* sim)
{
    int best = 0;
    for (int i = 1; i < sim->nconn; i++)
        if (sim->conns[i].priority > sim->conns[best].priority)
            best = i;
    return best;
}

// ---- queue -------------------------------------------------------------------

static void QueueReply(Sim* sim, int conn, std::vector<uint8_t> pkt)
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

// Queues a request's reply between the steps tied to it.
static void Answer(Sim* sim, int hook, int conn, std::vector<uint8_t> reply, bool send = true)
{
    int nth = sim->hookCount[hook]++;
    QueueHook(sim, hook, nth, true);
    if (send)
        QueueReply(sim, conn, std::move(reply));
    QueueHook(sim, hook, nth, false);
}

// ---- the manager ---------------------------------------------------------------

static std::vector<uint8_t> NetmpReply(uint8_t code, uint8_t result, size_t bodyLen)
{
    std::vector<uint8_t> body(bodyLen < 4 ? 4 : bodyLen, 0);
    body[0] = code;
    body[1] = result;
    return SimPacket(SIM_PROTO_NETMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

static uint8_t NetmpResult(Sim* sim, int which, int conn)
{
    if (sim->cfg.netmpFailConn >= 0 && sim->cfg.netmpFailConn != conn)
        return 0;
    return sim->cfg.netmpResult[which];
}

static std::vector<uint8_t> DcmpPacket(int type, int code, int proto)
{
    std::vector<uint8_t> body(6, 0);
    body[0] = (uint8_t)type;
    body[1] = (uint8_t)code;
    SimPut16(&body[4], (uint16_t)proto);
    return SimPacket(SIM_PROTO_DCMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

static void HandleNetmp(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 2) {
        Problem(sim, "conn %d: NETMP body of %zu bytes", conn, n);
        return;
    }
    uint8_t code = body[0];
    switch (code) {
    case 0x06: {  // status
        uint8_t res = NetmpResult(sim, SIM_NETMP_STATUS, conn);
        std::vector<uint8_t> reply;
        if (sim->cfg.owner == SIM_OWNER_NONE) {
            reply = NetmpReply(0x07, res, 4);
        } else {
            std::string owner = sim->cfg.ownerText;
            if (owner.empty() && sim->cfg.owner == SIM_OWNER_SELF)
                owner = SimOwnComment();
            // The owner's text at body offset 12, with its terminator.
            std::vector<uint8_t> b(12 + owner.size() + 1, 0);
            b[0] = 0x07;
            b[1] = res;
            std::copy(owner.begin(), owner.end(), b.begin() + 12);
            reply = SimPacket(SIM_PROTO_NETMP, SIM_NODE_HOST, SIM_NODE_HOST, b);
        }
        Answer(sim, SIM_AT_STATUS, conn, reply, !sim->cfg.netmpSilent[SIM_NETMP_STATUS]);
        break;
    }
    case 0x00: {  // connect: priority and protocols
        if (n >= 3) {
            std::lock_guard<std::mutex> lock(sim->mu);
            sim->conns[conn].priority = body[2];
        }
        if (n != 18)
            Problem(sim, "conn %d: connect body of %zu bytes", conn, n);
        Answer(sim, SIM_AT_CONNECT, conn,
               NetmpReply(0x01, NetmpResult(sim, SIM_NETMP_CONNECT, conn), 4),
               !sim->cfg.netmpSilent[SIM_NETMP_CONNECT]);
        break;
    }
    case 0x04: {  // comment: NUL-terminated text
        size_t len = 0;
        while (2 + len < n && body[2 + len] != 0)
            len++;
        if (2 + len >= n)
            Problem(sim, "conn %d: comment without its terminator", conn);
        {
            std::lock_guard<std::mutex> lock(sim->mu);
            sim->conns[conn].comment.assign((const char*)body + 2, len);
        }
        Answer(sim, SIM_AT_COMMENT, conn,
               NetmpReply(0x05, NetmpResult(sim, SIM_NETMP_COMMENT, conn), 4),
               !sim->cfg.netmpSilent[SIM_NETMP_COMMENT]);
        break;
    }
    case 0x02: {  // reset
        if (n != 24)
            Problem(sim, "conn %d: reset body of %zu bytes", conn, n);
        uint8_t res = NetmpResult(sim, SIM_NETMP_RESET, conn);
        Answer(sim, SIM_AT_RESET, conn, NetmpReply(0x03, res, 4),
               !sim->cfg.netmpSilent[SIM_NETMP_RESET]);
        if (res == 0 && !sim->cfg.netmpSilent[SIM_NETMP_RESET]) {
            // The target comes back up: the EE reports in, then the sample
            // protocol is opened on the target side.
            if (sim->cfg.eeConnects)
                QueueReply(sim, -1, DcmpPacket(2, 0, SIM_NODE_EE));
            if (sim->cfg.sampleOpens)
                QueueReply(sim, -1, DcmpPacket(2, 1, SIM_PROTO_SAMPLE));
        }
        break;
    }
    default:
        Problem(sim, "conn %d: unexpected NETMP code 0x%02x", conn, code);
        break;
    }
}

// ---- the target's debug side ----------------------------------------------------

static void ImageWrite(Sim* sim, uint32_t addr, const uint8_t* p, uint32_t n)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->memBytes += n;
    sim->writes++;
    if (!sim->cfg.keepMemory)
        return;
    uint64_t end = (uint64_t)addr + n;
    auto it = sim->image.upper_bound(addr);
    if (it != sim->image.begin()) {
        auto prev = std::prev(it);
        uint64_t pend = (uint64_t)prev->first + prev->second.size();
        if (pend >= addr) {
            std::vector<uint8_t>& v = prev->second;
            size_t off = addr - prev->first;
            if (off + n > v.size())
                v.resize(off + n);
            memcpy(&v[off], p, n);
            end = (uint64_t)prev->first + v.size();
            it = prev;
        } else {
            it = sim->image.emplace(addr, std::vector<uint8_t>(p, p + n)).first;
        }
    } else {
        it = sim->image.emplace(addr, std::vector<uint8_t>(p, p + n)).first;
    }
    // Swallow the extents that the write reached into or touched.
    auto next = std::next(it);
    while (next != sim->image.end() && next->first <= end) {
        std::vector<uint8_t>& v = it->second;
        uint64_t nend = (uint64_t)next->first + next->second.size();
        if (nend > end) {
            size_t skip = (size_t)(end - next->first);
            v.insert(v.end(), next->second.begin() + (long)skip, next->second.end());
            end = nend;
        }
        next = sim->image.erase(next);
    }
}

static std::vector<uint8_t> DbgpReply(const uint8_t* req, uint8_t type, uint8_t result,
                                      const std::vector<uint8_t>& extra)
{
    std::vector<uint8_t> body(8 + extra.size(), 0);
    body[0] = req[0];
    body[1] = req[1];
    body[2] = type;
    body[4] = result;
    body[5] = req[5];
    if (!extra.empty())
        memcpy(&body[8], extra.data(), extra.size());
    return SimPacket(SIM_PROTO_DBGP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static void HandleWrmem(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 20) {
        Problem(sim, "memory write body of %zu bytes", n);
        return;
    }
    const uint8_t* mem = body + 8;
    unsigned k = mem[1];
    uint32_t addr = SimGet32(mem + 4);
    uint32_t len = SimGet32(mem + 8);
    uint32_t pad = 0;
    if (k > 10) {
        Problem(sim, "memory write with alignment code %u", k);
    } else {
        uint32_t asize = 1u << k, amask = asize - 1;
        pad = ((28 + amask) & ~amask) - 28;
        if (k > 0 && !(sim->cfg.memAlign & (1u << k)))
            Problem(sim, "memory write with alignment code %u the target did not offer", k);
        if (k > 0 && ((addr & amask) || (len & amask)))
            Problem(sim, "memory write of code %u at 0x%08x, %u bytes: not whole units", k, addr,
                    len);
        if ((sim->cfg.memLimitAlign & (1u << k)) && n + 8 > sim->cfg.memLimitSize)
            Problem(sim, "memory write of %zu bytes over the limit %u", n + 8,
                    sim->cfg.memLimitSize);
    }
    uint8_t result = sim->cfg.wrmemResult;
    if (sim->cfg.wrmemFailNth >= 0)
        result = sim->hookCount[SIM_AT_WRMEM] == sim->cfg.wrmemFailNth ? sim->cfg.wrmemResult : 0;
    if ((uint64_t)20 + pad + len != n) {
        Problem(sim, "memory write at 0x%08x: %u data bytes in a body of %zu", addr, len, n);
    } else if (result == 0) {
        ImageWrite(sim, addr, body + 20 + pad, len);
    }
    Answer(sim, SIM_AT_WRMEM, conn, DbgpReply(body, 0x0b, result, {}));
}

static void HandleRun(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    SimRunInfo info;
    info.seen = true;
    if (n < 28) {
        Problem(sim, "run body of %zu bytes", n);
    } else {
        info.entry = SimGet32(body + 8);
        info.gp = SimGet32(body + 12);
        info.argc = SimGet32(body + 24);
        size_t words = 28;
        if (info.argc > 4096 || words + 4ull * info.argc > n) {
            Problem(sim, "run request with argc %u in %zu bytes", info.argc, n);
        } else {
            size_t str = words + 4ull * info.argc;
            for (uint32_t i = 0; i < info.argc; i++) {
                uint32_t len = SimGet32(body + words + 4 * i);
                if (len == 0 || str + len > n || body[str + len - 1] != 0) {
                    Problem(sim, "run argument %u: length %u does not fit", i, len);
                    break;
                }
                info.args.emplace_back((const char*)body + str, len - 1);
                str += len;
            }
            if (str != n && info.args.size() == info.argc)
                Problem(sim, "run request: %zu bytes after the arguments", n - str);
        }
    }
    {
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->run = info;
    }
    Answer(sim, SIM_AT_RUN, conn, DbgpReply(body, 0x19, sim->cfg.runResult, {}));
}

static void HandleDbgp(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 8) {
        Problem(sim, "DBGP body of %zu bytes", n);
        return;
    }
    switch (body[2]) {
    case 0x00: {
        std::vector<uint8_t> conf(68, 0);
        SimPut32(&conf[0], 3);  // major version
        SimPut32(&conf[4], 0);
        SimPut32(&conf[16], sim->cfg.memAlign);
        SimPut32(&conf[48], sim->cfg.memLimitAlign);
        SimPut32(&conf[52], sim->cfg.memLimitSize);
        Answer(sim, SIM_AT_GETCONF, conn, DbgpReply(body, 0x01, sim->cfg.getconfResult, conf));
        break;
    }
    case 0x0a:
        HandleWrmem(sim, conn, body, n);
        break;
    case 0x18:
        HandleRun(sim, conn, body, n);
        break;
    default:
        Problem(sim, "unexpected DBGP type 0x%02x", body[2]);
        break;
    }
}

static void Dispatch(Sim* sim, int conn, const uint8_t* p, size_t n)
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

// ---- scripted steps ----------------------------------------------------------------

static std::vector<uint8_t> TtyPacket(const std::string& text)
{
    std::vector<uint8_t> body(4 + text.size(), 0);
    if (!text.empty())
        memcpy(&body[4], text.data(), text.size());
    return SimPacket(SIM_PROTO_TTYP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static void SendStep(Sim* sim, const SimStep& s, const std::vector<uint8_t>& pkt)
{
    int conn = s.conn >= 0 && s.conn < sim->nconn ? s.conn : MainConn(sim);
    SendPacket(sim, conn, pkt, s.split >= 0 ? s.split : -2,
               s.byteDelayMs >= 0 ? s.byteDelayMs : -2);
}

// Waits for the reply to a file request, serving traffic meanwhile.
static bool WaitDrfp(Sim* sim, int waitMs, std::vector<uint8_t>* out)
{
    double end = Now() + waitMs / 1000.0;
    while (sim->drfpInbox.empty() && !sim->ended && !sim->stopRequested) {
        double left = end - Now();
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
        res.replied = true;
        res.length = (uint32_t)rp.size();
        res.destination = rp[7];
        if (rp.size() >= 16) {
            res.rcode = SimGet32(&rp[8]);
            res.rseq = SimGet32(&rp[12]);
        }
        if (rp.size() >= 20)
            res.result = SimGet32(&rp[16]);
        if (rp.size() >= 24)
            res.value = SimGet32(&rp[20]);
        if (res.rcode == 5 && rp.size() > 24 && keep)
            res.data.assign(rp.begin() + 24, rp.end());
        if (s.noReply)
            Problem(sim, "DRFP code %u answered though no reply was due", res.code);
        else if (res.rcode != res.code + 1 || res.rseq != res.seqnum)
            Problem(sim, "DRFP reply code %u seq %u to request code %u seq %u", res.rcode,
                    res.rseq, res.code, res.seqnum);
        if (rp[7] != SIM_NODE_IOP)
            Problem(sim, "DRFP reply addressed to 0x%02x", rp[7]);
        size_t want = res.rcode == 3 ? 20 : 24;
        if (res.rcode == 5)
            want = 24 + (size_t)res.value;
        if (rp.size() != want)
            Problem(sim, "DRFP reply code %u of %zu bytes, expected %zu", res.rcode, rp.size(),
                    want);
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

static std::vector<uint8_t> DrfpBody(Sim* sim, const SimStep& s)
{
    std::vector<uint8_t> body(8, 0);
    SimPut32(&body[0], s.a);
    SimPut32(&body[4], s.seqnum >= 0 ? (uint32_t)s.seqnum : ++sim->seq);
    uint32_t handle = s.useHandle ? sim->lastHandle : s.d;
    switch (s.a) {
    case 0: {  // open: flag, then the name
        std::string name = s.data;
        if (s.argIndex >= 0) {
            std::lock_guard<std::mutex> lock(sim->mu);
            if ((size_t)s.argIndex < sim->run.args.size())
                name = sim->run.args[(size_t)s.argIndex];
        }
        sim->lastOpenName = name;
        sim->lastOpenOk = false;
        body.resize(12, 0);
        body.insert(body.end(), name.begin(), name.end());
        body.push_back(0);
        break;
    }
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

static void ReadAll(Sim* sim, const SimStep& s)
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

static void RunStep(Sim* sim, const SimStep& s)
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
    case SIM_STEP_BREAK: {
        std::vector<uint8_t> body(8, 0);
        body[2] = 0x15;
        body[3] = (uint8_t)s.a;
        body[4] = (uint8_t)s.b;
        SendStep(sim, s, SimPacket(SIM_PROTO_DBGP, SIM_NODE_EE, SIM_NODE_HOST, body));
        break;
    }
    case SIM_STEP_DRFP:
        PushDrfp(sim, DrfpExchange(sim, s, DrfpBody(sim, s)));
        break;
    case SIM_STEP_DRFP_READALL:
        ReadAll(sim, s);
        break;
    case SIM_STEP_ECHO_READ: {
        if (!sim->lastOpenOk) {
            SendStep(sim, s, TtyPacket("demo: cannot open " + sim->lastOpenName + "\r\n"));
            break;
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
        break;
    }
    case SIM_STEP_SLEEP: {
        double end = Now() + s.a / 1000.0;
        while (!sim->ended && !sim->stopRequested && Now() < end)
            Pump(sim, 20);
        break;
    }
    case SIM_STEP_WAIT_SAMPLES: {
        int want = SimSamples(sim) + (int)s.a;
        double end = Now() + s.b / 1000.0;
        while (!sim->ended && !sim->stopRequested && SimSamples(sim) < want && Now() < end)
            Pump(sim, 20);
        if (SimSamples(sim) < want)
            Problem(sim, "fewer than %u sample packets arrived", s.a);
        break;
    }
    case SIM_STEP_CLOSE: {
        size_t keep = s.a < s.data.size() ? s.a : s.data.size();
        if (keep > 0) {
            int c = MainConn(sim);
            Record(sim, c, SIM_TO_HOST, (const uint8_t*)s.data.data(), keep);
            WriteAll(sim, c, (const uint8_t*)s.data.data(), keep);
            SleepMs(sim->cfg.splitDelayMs);
        }
        EndSession(sim, SIM_END_CLOSED);
        break;
    }
    case SIM_STEP_MARK: {
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->marks.insert(s.data);
        sim->cv.notify_all();
        break;
    }
    case SIM_STEP_DEAF: {
        // In short naps, so that a stop request is still seen.
        double end = Now() + s.a / 1000.0;
        while (!sim->ended && !sim->stopRequested && Now() < end)
            SleepMs(10);
        sim->lastTraffic = Now();
        break;
    }
    case SIM_STEP_CLOSE_CONN:
        if (s.conn == 0) {
            EndSession(sim, SIM_END_CLOSED);
        } else if (s.conn > 0 && s.conn < sim->nconn && sim->conns[s.conn].fd >= 0) {
            close(sim->conns[s.conn].fd);
            sim->conns[s.conn].fd = -1;
            sim->conns[s.conn].eof = true;
        }
        break;
    case SIM_STEP_DROP_REPLY:
        // Steps tied before a reply are queued ahead of it, and handlers only
        // append: the first reply in the queue is the one this step is for.
        for (auto it = sim->queue.begin(); it != sim->queue.end(); ++it) {
            if (it->isReply) {
                sim->queue.erase(it);
                break;
            }
        }
        break;
    }
}

// ---- the session -------------------------------------------------------------------

static bool AcceptAll(Sim* sim)
{
    double end = Now() + sim->cfg.acceptTimeoutMs / 1000.0;
    while (sim->nconn < SIM_MAX_CONN) {
        if (sim->stopRequested || Now() > end)
            return false;
        struct pollfd pf = {sim->listenFd, POLLIN, 0};
        if (poll(&pf, 1, 50) <= 0)
            continue;
        int fd = accept(sim->listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        int one = 1;
        // Small packets and deliberately split ones must leave at once.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->conns[sim->nconn++].fd = fd;
        sim->accepted = sim->nconn;
    }
    return true;
}

static void Session(Sim* sim)
{
    sim->t0 = Now();
    if (!AcceptAll(sim)) {
        EndSession(sim, sim->stopRequested ? SIM_END_STOPPED : SIM_END_ACCEPT_TIMEOUT);
    } else {
        sim->lastTraffic = Now();
        Answer(sim, SIM_AT_ACCEPT, 0, {}, false);
    }
    while (!sim->ended) {
        if (sim->stopRequested) {
            EndSession(sim, SIM_END_STOPPED);
            break;
        }
        if (!sim->queue.empty()) {
            SimAction a = std::move(sim->queue.front());
            sim->queue.pop_front();
            if (a.isReply)
                SendPacket(sim, a.conn < 0 ? MainConn(sim) : a.conn, a.pkt);
            else
                RunStep(sim, a.step);
            continue;
        }
        Pump(sim, 50);
        if (Now() - sim->lastTraffic > sim->cfg.idleTimeoutMs / 1000.0)
            EndSession(sim, SIM_END_IDLE);
        else if (sim->cfg.sessionLimitMs > 0 && Now() - sim->t0 > sim->cfg.sessionLimitMs / 1000.0)
            EndSession(sim, SIM_END_LIMIT);
    }
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->done = true;
    sim->cv.notify_all();
}

// ---- public interface -----------------------------------------------------------------

Sim* SimStart(const SimConfig& cfg)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fprintf(stderr, "dsnetsim: socket: %s\n", strerror(errno));
        return nullptr;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)cfg.port);
    socklen_t slen = sizeof sa;
    if (bind(fd, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (struct sockaddr*)&sa, &slen) != 0) {
        fprintf(stderr, "dsnetsim: cannot listen on 127.0.0.1:%d: %s\n", cfg.port,
                strerror(errno));
        close(fd);
        return nullptr;
    }
    Sim* sim = new Sim;
    sim->cfg = cfg;
    sim->listenFd = fd;
    sim->port = ntohs(sa.sin_port);
    sim->thread = std::thread(Session, sim);
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

std::vector<SimRecord> SimTranscript(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->transcript;
}

SimRunInfo SimRun(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->run;
}

std::vector<SimDrfpResult> SimDrfpResults(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->drfp;
}

bool SimReadMem(Sim* sim, uint32_t addr, uint32_t len, std::vector<uint8_t>* out)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    out->assign(len, 0);
    auto it = sim->image.upper_bound(addr);
    if (it == sim->image.begin())
        return len == 0;
    --it;
    uint64_t off = addr - it->first;
    if (off + len > it->second.size())
        return false;
    if (len)
        memcpy(out->data(), &it->second[(size_t)off], len);
    return true;
}

uint64_t SimMemBytes(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->memBytes;
}

int SimWrites(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->writes;
}

int SimSamples(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->samples;
}

int SimConnections(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->accepted;
}

// Priorities and comments are written by the session thread only before
// the script runs; reading them under the lock after the session has moved
// on is the tests' way.
std::vector<int> SimPriorities(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    std::vector<int> v;
    for (int i = 0; i < sim->nconn; i++)
        v.push_back(sim->conns[i].priority);
    return v;
}

std::vector<std::string> SimComments(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    std::vector<std::string> v;
    for (int i = 0; i < sim->nconn; i++)
        v.push_back(sim->conns[i].comment);
    return v;
}

std::vector<std::string> SimProblems(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->problems;
}

int SimEndReason(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->endReason;
}

std::string SimReadData(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->readData;
}

uint64_t SimReadTotal(Sim* sim)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return sim->readTotal;
}
