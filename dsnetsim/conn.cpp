// Connections and framing: the listening socket, the three accepted
// connections, whole packets cut out of what each one receives, and packets
// sent whole, split in two or a byte at a time.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "session.h"
#include "simtime.h"
#include "simwire.h"

namespace simeng {

int Listen(int port, int* bound)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fprintf(stderr, "dsnetsim: socket: %s\n", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    socklen_t slen = sizeof sa;
    if (bind(fd, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (struct sockaddr*)&sa, &slen) != 0) {
        fprintf(stderr, "dsnetsim: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        close(fd);
        return -1;
    }
    *bound = ntohs(sa.sin_port);
    return fd;
}

bool AcceptAll(Sim* sim)
{
    double end = SimNow() + sim->cfg.acceptTimeoutMs / 1000.0;
    while (sim->nconn < SIM_MAX_CONN) {
        if (sim->stopRequested || SimNow() > end)
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

// ---- receiving ---------------------------------------------------------------

// Hands every whole packet in p[0, n) to its protocol; the bytes taken
// (the rest is the start of a packet still coming). Handlers only queue
// work and never read, so a packet can be handed over in place.
static size_t FrameBytes(Sim* sim, int conn, const uint8_t* p, size_t n, int* handled)
{
    size_t off = 0;
    while (!sim->ended && n - off >= SIM_HDR) {
        uint16_t len = SimGet16(p + off);
        if (len < SIM_HDR) {
            Problem(sim, "conn %d: packet length %u below the header size", conn, len);
            return n;
        }
        if (n - off < len)
            break;
        Dispatch(sim, conn, p + off, len);
        off += len;
        (*handled)++;
    }
    return off;
}

// Takes every whole packet out of a connection's receive buffer; the number
// handled.
static int Frame(Sim* sim, int conn)
{
    SimConn& c = sim->conns[conn];
    int handled = 0;
    size_t off = c.rx.empty() ? 0 : FrameBytes(sim, conn, c.rx.data(), c.rx.size(), &handled);
    if (off > 0)
        c.rx.erase(c.rx.begin(), c.rx.begin() + (long)off);
    return handled;
}

// Reads what one connection has; false when it is closed. With `frame`,
// the whole packets among what came are handled straight from the read
// (the usual case: nothing was left over from before).
static bool ReadConn(Sim* sim, int conn, bool frame)
{
    SimConn& c = sim->conns[conn];
    uint8_t* in = sim->scratch;
    ssize_t got = recv(c.fd, in, sizeof sim->scratch, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (got <= 0) {
        c.eof = true;
        return false;
    }
    sim->lastTraffic = SimNow();
    size_t off = 0;
    int handled = 0;
    if (frame && c.rx.empty())
        off = FrameBytes(sim, conn, in, (size_t)got, &handled);
    c.rx.insert(c.rx.end(), in + off, in + got);
    return true;
}

// Waits up to waitMs for the open connections, then reads and frames what
// each readable one has.
static void PollAndRead(Sim* sim, int waitMs)
{
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
        SimSleepMs(waitMs);
        return;
    }
    if (poll(fds, (nfds_t)n, waitMs) <= 0)
        return;
    for (int k = 0; k < n && !sim->ended; k++) {
        if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        int i = idx[k];
        if (!ReadConn(sim, i, true)) {
            if (sim->cfg.log)
                fprintf(sim->cfg.log, "dsnetsim: conn %d closed by peer\n", i);
            if (i == 0)
                EndSession(sim, SIM_END_PEER_CLOSED);
            continue;
        }
        Frame(sim, i);
    }
}

// The first connection waited on alone, by a receive that blocks for a
// short while: one call where a poll and a read would be two, so the
// simulator's part of an exchange costs what a bare peer's does. The other
// connections are looked at whenever it stays quiet that long. True when
// something was read (or the connection ended).
static bool ReadFirstConn(Sim* sim, int waitMs)
{
    SimConn& c = sim->conns[0];
    int ms = waitMs < 10 ? waitMs : 10;
    if (sim->nconn == 0 || c.fd < 0 || c.eof || ms <= 0)
        return false;
    if (c.rcvTimeoutMs != ms) {
        struct timeval tv = {0, ms * 1000};
        if (setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
            return false;
        c.rcvTimeoutMs = ms;
    }
    ssize_t got = recv(c.fd, sim->scratch, sizeof sim->scratch, 0);
    if (got < 0)
        return false;
    if (got == 0) {
        c.eof = true;
        EndSession(sim, SIM_END_PEER_CLOSED);
        return true;
    }
    sim->lastTraffic = SimNow();
    int handled = 0;
    size_t off = c.rx.empty() ? FrameBytes(sim, 0, sim->scratch, (size_t)got, &handled) : 0;
    c.rx.insert(c.rx.end(), sim->scratch + off, sim->scratch + got);
    Frame(sim, 0);
    return true;
}

void Pump(Sim* sim, int waitMs)
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
    if (ReadFirstConn(sim, waitMs))
        return;
    PollAndRead(sim, waitMs > 10 ? waitMs - 10 : 0);
}

// ---- sending -----------------------------------------------------------------

// Reads (but does not handle) what comes in while a send waits for room, so
// the two sides never block each other on full buffers.
bool WriteAll(Sim* sim, int conn, const uint8_t* p, size_t n)
{
    SimConn& c = sim->conns[conn];
    double end = SimNow() + 5.0;
    while (n > 0) {
        if (c.fd < 0)
            return false;
        // Tried first: there is room as a rule, and a poll before every
        // send would cost the exchange a call the peer never pays.
        ssize_t w = send(c.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            p += w;
            n -= (size_t)w;
            continue;
        }
        if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            c.eof = true;  // reset by the peer: nothing more will pass
            return false;
        }
        struct pollfd pf = {c.fd, POLLOUT | POLLIN, 0};
        int r = poll(&pf, 1, 50);
        if (sim->stopRequested)
            return false;
        if (SimNow() > end) {
            Problem(sim, "conn %d: send stalled", conn);
            return false;
        }
        if (r <= 0)
            continue;
        if ((pf.revents & POLLIN) && !c.eof)
            ReadConn(sim, conn, false);
        if (pf.revents & (POLLERR | POLLHUP)) {
            c.eof = true;
            return false;
        }
    }
    sim->lastTraffic = SimNow();
    return true;
}

void SendPacket(Sim* sim, int conn, const std::vector<uint8_t>& pkt, int split, int byteDelayMs)
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
                SimSleepMs(byteDelayMs);
        }
        return;
    }
    if (split > 0 && (size_t)split < n) {
        if (!WriteAll(sim, conn, p, (size_t)split))
            return;
        SimSleepMs(sim->cfg.splitDelayMs);
        WriteAll(sim, conn, p + split, n - (size_t)split);
        return;
    }
    WriteAll(sim, conn, p, n);
}

void SendStep(Sim* sim, const SimStep& s, const std::vector<uint8_t>& pkt)
{
    int conn = s.conn >= 0 && s.conn < sim->nconn ? s.conn : MainConn(sim);
    SendPacket(sim, conn, pkt, s.split >= 0 ? s.split : -2,
               s.byteDelayMs >= 0 ? s.byteDelayMs : -2);
}

// The one registered with the highest priority, the first one until
// anything is registered.
int MainConn(Sim* sim)
{
    int best = 0;
    for (int i = 1; i < sim->nconn; i++)
        if (sim->conns[i].priority > sim->conns[best].priority)
            best = i;
    return best;
}

}  // namespace simeng

// ---- public interface -----------------------------------------------------------

int SimConnections(Sim* sim) { return simeng::Locked(sim, sim->accepted); }

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
