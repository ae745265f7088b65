// The transport of whole packets over a stream: receiving them (the header
// and what has arrived in one call, what came in behind a packet kept for
// the next), sending them (two at once when one rides along), and the
// limits on a packet that stalls partway in either direction.
#include <stdlib.h>
#include <string.h>

#include "diag.h"
#include "link.h"
#include "platform.h"
#include "state.h"
#include "trace.h"
#include "transport.h"

// Texts in the system's own wording, kept letter for letter as they stand.
// "read() failed" (a receive call failed, or a length that cannot be framed)
// and "read() failed." (the stream ended or stalled) are two messages.
#define LINK_READ_FAILED "read() failed"
#define LINK_READ_SHORT "read() failed."

// Large enough for any packet a header's 16-bit length can describe.
static unsigned char rbuf[DECI2_MAX_PACKET];

static int deci2DefaultTimeout = 10;
static int deci2DefaultTimeoutGranularity = 10;

static const LINK_ROUTE* routes;
static int routeCount;

void SetWaitTimeout(int timeout, int granularity)
{
    deci2DefaultTimeout = timeout > 0 ? timeout : 1;
    deci2DefaultTimeoutGranularity = granularity > 0 ? granularity : 1;
}

int WaitSlices(void)
{
    return deci2DefaultTimeoutGranularity;
}

unsigned char* ReceiveBuffer(void)
{
    return rbuf;
}

void LinkSetRoutes(const LINK_ROUTE* table, int count)
{
    routes = table;
    routeCount = table != NULL && count > 0 ? count : 0;
}

// ---- the wait's length -----------------------------------------------------

uint64_t TimeoutMs(void)
{
    return (uint64_t)deci2DefaultTimeout * 1000u;
}

int SliceMs(void)
{
    int ms = deci2DefaultTimeout * 1000 / deci2DefaultTimeoutGranularity;
    return ms > 0 ? ms : 1;
}

// Waits until `deadline` (milliseconds, SysMilliseconds) for a stream that
// is partway through a packet to move on: for more of it to arrive
// (`forSend` 0) or for room to send the rest of it (1). 1 when the socket
// is ready, 0 when the deadline passed or the program was asked to end, -1
// when the wait itself failed. A manager that stops partway through a
// packet, or stops taking one, and stays connected would otherwise hold the
// program for ever.
static int WaitForProgress(int fd, int forSend, uint64_t deadline)
{
    TraceFlush();
    for (;;) {
        int readable = 0, writable = 0;
        uint64_t now = SysMilliseconds();
        if (terminationRequested || now >= deadline)
            return 0;
        uint64_t left = deadline - now;
        int ms = left < (uint64_t)SliceMs() ? (int)left : SliceMs();
        int n = NetPoll(fd, !forSend, forSend, ms, &readable, &writable);
        if (n > 0 && (forSend ? writable : readable))
            return 1;
        // A signal only cuts the slice short; the flag is looked at above.
        if (n < 0 && !NetInterrupted())
            return -1;
    }
}

// ---- receiving -------------------------------------------------------------

// Bytes that arrived past the end of the packet last handed out: the start
// of what comes next on connection `fd`. They stay where they landed in the
// receive buffer, from `off` on, until the next receive there; a receive on
// another connection first puts them aside in a stash of their own.
typedef struct LINK_INPUT {
    int fd;
    int off, len;          // len 0: none
    uint64_t began;        // when they arrived
    unsigned char* bytes;  // a stash's own copy
} LINK_INPUT;

#define LINK_STASHES 8

static LINK_INPUT pending;
static LINK_INPUT stash[LINK_STASHES];

static LINK_INPUT* StashOf(int fd)
{
    for (int i = 0; i < LINK_STASHES; i++)
        if (stash[i].len > 0 && stash[i].fd == fd)
            return &stash[i];
    return NULL;
}

void LinkForgetInput(int fd)
{
    LINK_INPUT* st = StashOf(fd);
    if (st != NULL) {
        free(st->bytes);
        memset(st, 0, sizeof *st);
    }
    if (pending.fd == fd)
        pending.len = 0;
}

int LinkHasInput(int fd)
{
    return (pending.len > 0 && pending.fd == fd) || StashOf(fd) != NULL;
}

// Moves another connection's bytes out of the receive buffer. -1 when
// there is no room for them (with more connections than stashes).
static int StashPending(const unsigned char* buf)
{
    if (pending.len == 0)
        return 0;
    for (int i = 0; i < LINK_STASHES; i++) {
        if (stash[i].len > 0)
            continue;
        stash[i].bytes = (unsigned char*)malloc((size_t)pending.len);
        if (stash[i].bytes == NULL)
            break;
        memcpy(stash[i].bytes, buf + pending.off, (size_t)pending.len);
        stash[i].fd = pending.fd;
        stash[i].len = pending.len;
        stash[i].began = pending.began;
        pending.len = 0;
        return 0;
    }
    DBG_LINE("cannot allocate memory");
    return -1;
}

// What has already arrived on `fd`: its place in `buf` and its length.
static int LoadInput(int fd, unsigned char* buf, int* off, int* have, uint64_t* began)
{
    *off = 0;
    *have = 0;
    if (pending.len > 0 && pending.fd == fd) {
        *off = pending.off;
        *have = pending.len;
        *began = pending.began;
        pending.len = 0;
        return 0;
    }
    if (StashPending(buf) < 0)
        return -1;
    LINK_INPUT* st = StashOf(fd);
    if (st != NULL) {
        memcpy(buf, st->bytes, (size_t)st->len);
        *have = st->len;
        *began = st->began;
        free(st->bytes);
        memset(st, 0, sizeof *st);
    }
    return 0;
}

// Receives into `buf` until `*have` reaches `need`, taking up to `room`
// bytes. A stream may deliver a packet in any number of pieces; a signal
// that does not ask the program to end only interrupts one call. `*began`
// is when the first byte of the packet arrived (0: none yet, and the wait
// that called us saw the socket readable): the whole packet must arrive
// within the wait's timeout from then, or it counts as cut short, however
// the manager spaces its pieces.
static int RecvAtLeast(int fd, unsigned char* buf, int* have, int need, int room,
                       uint64_t* began)
{
    while (*have < need) {
        int n;
        if (*began == 0)
            n = NetRecv(fd, buf + *have, room - *have);
        else
            n = NetRecvSome(fd, buf + *have, room - *have);
        if (n > 0) {
            *have += n;
            if (*began == 0)
                *began = SysMilliseconds();
            continue;
        }
        if (n < 0 && *began != 0 && NetWouldBlock()) {
            int w = WaitForProgress(fd, 0, *began + TimeoutMs());
            if (w > 0)
                continue;
            DBG_LINE(w < 0 ? LINK_READ_FAILED : LINK_READ_SHORT);
            return -1;
        }
        if (n < 0 && NetInterrupted() && !terminationRequested)
            continue;
        DBG_LINE(n == 0 ? LINK_READ_SHORT : LINK_READ_FAILED);
        return -1;
    }
    return 0;
}

// A packet has left whole: one that expects no reply is freed, a request
// now awaits its reply.
static void PacketSent(PKT* pkt)
{
    if (pkt->stat & PKT_SEND_ONLY)
        DelPacket(pkt);
    else
        pkt->stat = PKT_AWAITING_REPLY;
}

// Sends the whole of `pkt` and, when `next` is not null, `next` right
// behind it in the same calls. Each call takes what fits, from where the
// last one stopped; the rest must find room within the wait's timeout. With
// `tryOnly`, a socket that takes nothing at once leaves both packets as
// they were and gives 0. Bytes sent, or -1 (the packets stay queued).
int SendPackets(int fd, PKT* pkt, PKT* next, int tryOnly)
{
    const unsigned char* a = (const unsigned char*)pkt->deci2;
    const unsigned char* b = next ? (const unsigned char*)next->deci2 : NULL;
    int alen = GetLE16(a);
    int blen = b ? GetLE16(b) : 0;
    int total = alen + blen;
    int sent = 0;

    while (sent < total) {
        int n;
        if (sent < alen && blen > 0)
            n = NetSendPair(fd, a + sent, alen - sent, b, blen);
        else if (sent < alen)
            n = NetSendSome(fd, a + sent, alen - sent);
        else
            n = NetSendSome(fd, b + (sent - alen), total - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && NetWouldBlock()) {
            if (sent == 0 && tryOnly)
                return 0;
            if (WaitForProgress(fd, 1, SysMilliseconds() + TimeoutMs()) > 0)
                continue;
        }
        if (n < 0 && NetInterrupted() && !terminationRequested)
            continue;
        // Left queued. If part of it went, the stream is spoilt anyway and
        // the failed wait ends the run.
        DBG_LINE("send() failed");
        return -1;
    }
    TracePacket(fd, 1, a, alen);
    if (next != NULL)
        TracePacket(fd, 1, b, blen);
    PacketSent(pkt);
    if (next != NULL)
        PacketSent(next);
    return sent;
}

int SendPacket(int fd, PKT* pkt)
{
    return SendPackets(fd, pkt, NULL, 0);
}

// The header and as much as has arrived come in one call; the rest of the
// packet, if any, in calls for exactly what is missing. What came past the
// packet's end waits for the next receive.
int RecvPacket(int fd, unsigned char* buf)
{
    uint64_t began = 0;
    int off, have, len;

    if (LoadInput(fd, buf, &off, &have, &began) < 0)
        return -1;
    // Only a whole packet is handed out where it lies: a part of one moves
    // to the front, for the rest to follow it.
    if (off > 0 && (have < DECI2_HDR_SIZE || have < GetLE16(buf + off))) {
        memmove(buf, buf + off, (size_t)have);
        off = 0;
    }
    if (have < DECI2_HDR_SIZE &&
        RecvAtLeast(fd, buf, &have, DECI2_HDR_SIZE, DECI2_MAX_PACKET, &began) < 0)
        return -1;
    len = GetLE16(buf + off);
    if (len < DECI2_HDR_SIZE) {
        DBG_LINE(LINK_READ_FAILED);
        return -1;
    }
    if (have < len && RecvAtLeast(fd, buf, &have, len, len, &began) < 0)
        return -1;
    if (have > len) {
        pending.fd = fd;
        pending.off = off + len;
        pending.len = have - len;
        pending.began = SysMilliseconds();
    }

    unsigned char* pkt = buf + off;
    TracePacket(fd, 0, pkt, len);
    uint16_t protocol = GetLE16(pkt + offsetof(DECI2_HDR, protocol));
    for (int i = 0; i < routeCount; i++) {
        if (routes[i].protocol == protocol)
            return routes[i].handler((char*)pkt + DECI2_HDR_SIZE,
                                     (uint16_t)(len - DECI2_HDR_SIZE));
    }
    DBG_LINE("unknown packet received");
    return -1;
}
