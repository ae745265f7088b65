// The link to the manager: connections, the transport of whole packets
// over a stream, and the one wait.
#include "link.h"

#include <stdlib.h>
#include <string.h>

#include "diag.h"
#include "platform.h"
#include "state.h"

// Texts in the system's own wording, kept letter for letter as they stand.
// "read() failed" (a receive call failed, or a length that cannot be framed)
// and "read() failed." (the stream ended or stalled) are two messages.
#define LINK_HOST_TOO_LONG "argument larger than expect"
#define LINK_READ_FAILED "read() failed"
#define LINK_READ_SHORT "read() failed."
#define LINK_SELECT_FAILED "select() faild."
#define LINK_SAMPLE_FAILED "faild to send packet"

// Large enough for any packet a header's 16-bit length can describe.
static unsigned char rbuf[DECI2_MAX_PACKET];

static int deci2DefaultTimeout = 10;
static int deci2DefaultTimeoutGranularity = 10;

// Replies waiting to go out past which the wait stops reading from the
// manager until they drain; the larger bound applies while a request
// awaits its reply.
#define LINK_BACKLOG_BYTES (1024u * 1024u)
#define LINK_BACKLOG_PACKETS 32
#define LINK_BACKLOG_HARD_BYTES (8u * 1024u * 1024u)

#define LINK_SAMPLE_SIZE 20

// Pointer sample values and the count of waits between samples.
static int xyb[3] = {1, 1, 1};
static int ticker = 1;

static const LINK_ROUTE* routes;
static int routeCount;

void SetWaitTimeout(int timeout, int granularity)
{
    deci2DefaultTimeout = timeout > 0 ? timeout : 1;
    deci2DefaultTimeoutGranularity = granularity > 0 ? granularity : 1;
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

// ---- connections -----------------------------------------------------------

int ParsePortText(const char* text)
{
    char* end;
    long v = strtol(text, &end, 10);
    unsigned int port;

    if (end == text || v == 0)
        return -1;
    // Only the low 16 bits count; a number whose low bits are all zero
    // would name port 0, which nothing can be reached on.
    port = (unsigned int)((unsigned long)v & 0xffffu);
    if (port == 0)
        return -1;
    return (int)port;
}

int SplitAddress(const char* arg, char* host, size_t hostSize, const char** portText)
{
    const char* colon = strchr(arg, ':');
    size_t hostLen = colon ? (size_t)(colon - arg) : strlen(arg);

    *portText = DECI2_DEFAULT_PORT;
    // A bare trailing ':' keeps the default port.
    if (colon != NULL && colon[1] != '\0')
        *portText = colon + 1;
    if (hostSize == 0 || hostLen > hostSize - 1)
        return -1;
    memcpy(host, arg, hostLen);
    host[hostLen] = '\0';
    return 0;
}

int LinkHostName(char* buf, int size)
{
    if (size <= 0 || NetGetHostName(buf, size) != 0)
        return -1;
    buf[size - 1] = '\0';
    return 0;
}

// A dotted numeric address is taken as it is, without a lookup.
static int ResolveHost(const char* host, uint32_t* addr, int* family)
{
    *family = NET_AF_INET;
    *addr = NetInetAddr(host);
    if (*addr != NET_INADDR_NONE)
        return 0;
    return NetLookup(host, addr, family);
}

int ConnectNet(char* arg)
{
    char host[HOST_BUF_SIZE];
    const char* portText = DECI2_DEFAULT_PORT;
    uint32_t addr;
    int family;
    int port;
    int s;

    if (arg != NULL && arg[0] != '\0') {
        if (SplitAddress(arg, host, sizeof host, &portText) < 0) {
            DBG_LINE(LINK_HOST_TOO_LONG);
            return -1;
        }
    } else if (LinkHostName(host, (int)sizeof host) != 0) {
        DBG_LINE("gethostname() fail");
        return -1;
    }

    // The name is resolved before the port text is read, so an unknown
    // host is what gets reported when both are wrong.
    if (ResolveHost(host, &addr, &family) != 0) {
        DBG_LINE("gethostbyname() fail");
        return -1;
    }
    port = ParsePortText(portText);
    if (port < 0) {
        DBG_LINE("invalid port number");
        return -1;
    }
    s = NetSocket();
    if (s < 0) {
        DBG_LINE("socket() fail");
        return -1;
    }
    if (NetConnect(s, addr, family, (uint16_t)port) != 0) {
        DBG_LINE("connect() fail");
        NetClose(s);
        return -1;
    }
    return s;
}

// ---- packets ---------------------------------------------------------------

// The wait's timeout in milliseconds, and the length of one of its slices.
static uint64_t TimeoutMs(void)
{
    return (uint64_t)deci2DefaultTimeout * 1000u;
}

static int SliceMs(void)
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

// A stream may deliver a packet in any number of pieces: the receive goes
// on until every byte has arrived. A signal that does not ask the program
// to end only interrupts one call. `*began` is when the first byte of the
// packet arrived (0: none yet, and the wait that called us saw the socket
// readable): the whole packet must arrive within the wait's timeout from
// then, or it counts as cut short, however the manager spaces its pieces.
static int RecvAll(int fd, unsigned char* buf, int len, uint64_t* began)
{
    int got = 0;

    while (got < len) {
        if (*began != 0) {
            int w = WaitForProgress(fd, 0, *began + TimeoutMs());
            if (w < 0) {
                DBG_LINE(LINK_READ_FAILED);
                return -1;
            }
            if (w == 0) {
                DBG_LINE(LINK_READ_SHORT);
                return -1;
            }
        }
        int n = NetRecv(fd, buf + got, len - got);
        if (n > 0) {
            got += n;
            if (*began == 0)
                *began = SysMilliseconds();
            continue;
        }
        if (n < 0 && NetInterrupted() && !terminationRequested)
            continue;
        if (n == 0)
            DBG_LINE(LINK_READ_SHORT);
        else
            DBG_LINE(LINK_READ_FAILED);
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
static int SendPackets(int fd, PKT* pkt, PKT* next, int tryOnly)
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
    PacketSent(pkt);
    if (next != NULL)
        PacketSent(next);
    return sent;
}

int SendPacket(int fd, PKT* pkt)
{
    return SendPackets(fd, pkt, NULL, 0);
}

int RecvPacket(int fd, unsigned char* buf)
{
    uint64_t began = 0;
    int len;

    if (RecvAll(fd, buf, DECI2_HDR_SIZE, &began) < 0)
        return -1;
    len = GetLE16(buf);
    if (len < DECI2_HDR_SIZE) {
        DBG_LINE(LINK_READ_FAILED);
        return -1;
    }
    if (RecvAll(fd, buf + DECI2_HDR_SIZE, len - DECI2_HDR_SIZE, &began) < 0)
        return -1;

    uint16_t protocol = GetLE16(buf + offsetof(DECI2_HDR, protocol));
    for (int i = 0; i < routeCount; i++) {
        if (routes[i].protocol == protocol)
            return routes[i].handler((char*)buf + DECI2_HDR_SIZE,
                                     (uint16_t)(len - DECI2_HDR_SIZE));
    }
    DBG_LINE("unknown packet received");
    return -1;
}

// ---- the queue as the wait sees it -----------------------------------------

// A pointer sample as SampleMakeXyb builds it.
static int IsSample(const PKT* pkt)
{
    const unsigned char* p = (const unsigned char*)pkt->deci2;
    return (pkt->stat & PKT_SEND_ONLY) && GetLE16(p) == LINK_SAMPLE_SIZE &&
           GetLE16(p + offsetof(DECI2_HDR, protocol)) == PROTO_SAMPLE;
}

// What waits in the queue: whether a sample is among it, and whether the
// packets waiting to go out are so many that reading must pause. Each
// received request can queue a reply far larger than itself, so a manager
// that sends faster than it takes would otherwise grow the queue without
// end. While the head awaits its reply nothing can drain, and reading must
// go on for that reply to come: only a far larger backlog pauses it then
// (and the request's wait then ends without its reply).
typedef struct LINK_QUEUE_VIEW {
    int sampleQueued;
    int backlogged;
} LINK_QUEUE_VIEW;

static LINK_QUEUE_VIEW ViewQueue(void)
{
    LINK_QUEUE_VIEW v = {0, 0};
    List* q = QueueHead();
    size_t bytes = 0;
    int count = 0;

    if (q == NULL)
        return v;
    for (List* l = q->next; l != q; l = l->next) {
        const PKT* p = (const PKT*)l;
        if (IsSample(p))
            v.sampleQueued = 1;
        else if (p->stat & PKT_SEND_ONLY) {
            bytes += GetLE16(p->deci2);
            count++;
        }
    }
    if (GetHeadPktByStat(PKT_AWAITING_REPLY) != NULL)
        v.backlogged = bytes >= LINK_BACKLOG_HARD_BYTES;
    else
        v.backlogged = bytes >= LINK_BACKLOG_BYTES || count >= LINK_BACKLOG_PACKETS;
    return v;
}

// The packet that leaves together with the head: a sample rides in the
// same call as the packet beside it, so that it never travels alone right
// behind real traffic (where the stream would hold it back, and the next
// real packet behind it, until the peer acknowledges what went before).
// Only behind a packet that expects no reply: a request holds back
// everything behind it until its reply.
static PKT* RidesAlong(PKT* head)
{
    PKT* next = (PKT*)head->list.next;

    if (!(head->stat & PKT_SEND_ONLY) || (List*)next == QueueHead())
        return NULL;
    if (!(next->stat & PKT_TO_SEND) || (!IsSample(head) && !IsSample(next)))
        return NULL;
    return next;
}

// ---- the wait --------------------------------------------------------------

void* SampleMakeXyb(int* values)
{
    unsigned char* pkt = (unsigned char*)malloc(LINK_SAMPLE_SIZE);

    if (pkt == NULL)
        return NULL;
    MakeDeci2Hdr((DECI2_HDR*)pkt, LINK_SAMPLE_SIZE, PROTO_SAMPLE, NODE_HOST, NODE_EE);
    PutLE32(pkt + 8, (uint32_t)values[0]);
    PutLE32(pkt + 12, (uint32_t)values[1]);
    PutLE32(pkt + 16, (uint32_t)values[2]);
    return pkt;
}

// One wait's doings: what it received and sent, and whether it has queued
// its sample.
typedef struct LINK_TURN {
    int received;
    int sentReal;  // a packet other than a sample left
    int sampled;
} LINK_TURN;

// Samples ride on real traffic: after a wait that received a packet or
// sent one other than a sample, one sample is queued, unless one already
// waits. A sample never follows a sample, so the sample protocol cannot
// keep the link busy by itself. -1 after "faild to send packet".
static int QueueSample(LINK_TURN* t)
{
    if (!sampleProtoOpened || t->sampled || !(t->received || t->sentReal))
        return 0;
    if (ViewQueue().sampleQueued)
        return 0;
    if (--ticker > 0)
        return 0;
    void* sample = SampleMakeXyb(xyb);
    ticker = 1;
    if (AddPacket(sample, PKT_SEND_ONLY) < 0) {
        free(sample);
        DBG_LINE(LINK_SAMPLE_FAILED);
        return -1;
    }
    t->sampled = 1;
    return 0;
}

// When the packet due for sending first found no room; 0 while none waits.
static uint64_t stalledSince;
// The last send on this link found room: the next one is tried at once,
// without asking the socket first.
static int sendRoom = 1;

// Offers the packet due for sending (and the one that rides along with it)
// to the socket without waiting for room. 1 when it left, 0 when there is
// nothing to send or the socket took nothing, -1 on failure.
static int OfferHead(int fd, LINK_TURN* t)
{
    PKT* head = GetHeadPktByStat(PKT_TO_SEND);
    if (head == NULL) {
        stalledSince = 0;
        return 0;
    }
    // A real packet that expects no reply is about to go: its sample is
    // queued now, so that it can leave in the same call.
    if ((head->stat & PKT_SEND_ONLY) && !IsSample(head)) {
        LINK_TURN ahead = *t;
        ahead.sentReal = 1;
        if (QueueSample(&ahead) < 0)
            return -1;
        t->sampled = ahead.sampled;
    }
    PKT* next = RidesAlong(head);
    int real = !IsSample(head) || (next != NULL && !IsSample(next));
    int r = SendPackets(fd, head, next, 1);
    if (r < 0)
        return -1;
    sendRoom = r > 0;
    if (r == 0) {
        if (stalledSince == 0)
            stalledSince = SysMilliseconds();
        return 0;
    }
    stalledSince = 0;
    t->sentReal |= real;
    return 1;
}

// A packet due for sending that has found no room for a whole wait: the
// manager has stopped taking packets, as good as a failed send.
static int SendStalled(int quietWait)
{
    if (GetHeadPktByStat(PKT_TO_SEND) == NULL || terminationRequested) {
        stalledSince = 0;
        return 0;
    }
    if (stalledSince == 0)
        stalledSince = SysMilliseconds();
    if (!quietWait && SysMilliseconds() - stalledSince < TimeoutMs())
        return 0;
    DBG_LINE("send() failed");
    return 1;
}

#define WAIT_CUT_SHORT (-2)

// The sliced wait for the socket to be readable (when `wantRead`) or
// writable (when `wantWrite`). 1 when it is, 0 when the whole wait passed,
// WAIT_CUT_SHORT on an interrupted wait or a termination request, -1 after
// the reason.
static int WaitReady(int fd, int wantRead, int wantWrite, int* readable, int* writable)
{
    int n = 0;

    for (int i = 0; i < deci2DefaultTimeoutGranularity; i++) {
        n = NetPoll(fd, wantRead, wantWrite, SliceMs(), readable, writable);
        if (n < 0) {
            if (NetInterrupted()) {
                DBG_PRINTF0("%s(%d): EINTR\n");
                return WAIT_CUT_SHORT;
            }
            DBG_LINE(LINK_SELECT_FAILED);
            return -1;
        }
        if (terminationRequested == 1)
            return WAIT_CUT_SHORT;
        if (n > 0)
            return 1;
    }
    return 0;
}

// The program's only wait: at most one packet received and one sample
// queued per call; a packet due for sending is offered first, without
// asking the socket, when the last send found room, and a reply the
// handler queued goes out in the same call. The wait is cut into slices so
// that a termination request is noticed within one slice.
int MySelect(unsigned int socket)
{
    int fd = (int)socket;
    LINK_TURN t = {0, 0, 0};
    int readable = 0, writable = 0;

    if (sendRoom && terminationRequested != 1) {
        int r = OfferHead(fd, &t);
        if (r < 0)
            return -1;
        if (r > 0)
            return QueueSample(&t) < 0 ? -1 : 1;
    }

    int wantWrite = GetHeadPktByStat(PKT_TO_SEND) != NULL;
    int r = WaitReady(fd, !ViewQueue().backlogged, wantWrite, &readable, &writable);
    if (r == WAIT_CUT_SHORT)
        return 0;
    if (r <= 0) {
        if (r == 0 && wantWrite && SendStalled(1))
            return -1;
        return r;
    }
    if (readable) {
        if (RecvPacket(fd, rbuf) < 0) {
            DBG_LINE("receive error");
            return -1;
        }
        t.received = 1;
    }
    // The handler above may have changed the queue.
    if (writable || sendRoom) {
        if (OfferHead(fd, &t) < 0)
            return -1;
    }
    if (SendStalled(0))
        return -1;
    return QueueSample(&t) < 0 ? -1 : 1;
}
int WaitUntil(unsigned int socket, int (*done)(void))
{
    int r = MySelect(socket);
    while (r > 0 && !done())
        r = MySelect(socket);
    if (r == 0) {
        DBG_LINE("timeout");
        return -1;
    }
    if (r < 0) {
        DBG_LINE("select error");
        return -1;
    }
    return 1;
}

static int HeadReplied(void)
{
    return GetHeadPktByStat(PKT_REPLIED) != NULL;
}

int SendAndWaitReply(void* buf, unsigned int socket)
{
    if (AddPacket(buf, PKT_SEND_REQUEST) < 0) {
        // Taken over either way: a request that could not be queued goes.
        free(buf);
        return -1;
    }
    // A request that fails stays queued in the state it had reached.
    if (WaitUntil(socket, HeadReplied) < 0)
        return -1;
    DelPacket(GetHeadPktByStat(PKT_REPLIED));
    return 1;
}
