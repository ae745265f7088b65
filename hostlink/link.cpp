// The link to the manager: connections and the one wait (the transport of
// whole packets over a stream is transport.cpp).
#include "link.h"

#include <stdlib.h>
#include <string.h>

#include "diag.h"
#include "platform.h"
#include "state.h"
#include "trace.h"
#include "transport.h"

// Texts in the system's own wording, kept letter for letter as they stand.
#define LINK_HOST_TOO_LONG "argument larger than expect"
#define LINK_SELECT_FAILED "select() faild."
#define LINK_SAMPLE_FAILED "faild to send packet"

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

// ---- connections -----------------------------------------------------------

int ParsePortText(const char* text)
{
    char* end;
    long v = strtol(text, &end, 10);

    // A number that is no port is refused, not cut to 16 bits: 99999 would
    // otherwise reach some other port.
    if (end == text || v < 1 || v > 65535)
        return -1;
    return (int)v;
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

// True when the address text is an IPv6 address, bare or in brackets with
// a port after them, with or without a zone ("::1", "[fe80::1%eth0]:8510").
static int IsIPv6Literal(const char* arg)
{
    char inner[64];
    const char* start = arg[0] == '[' ? arg + 1 : arg;
    size_t n = strcspn(start, arg[0] == '[' ? "]%" : "%");
    if (n == 0 || n >= sizeof inner)
        return 0;
    memcpy(inner, start, n);
    inner[n] = '\0';
    return NetIsIPv6Address(inner);
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

    // An IPv6 address would be cut at its first ':' into some host and
    // port; it is no name to look up either.
    if (arg != NULL && IsIPv6Literal(arg)) {
        DBG_LINE("only IPv4 addresses and host names are supported");
        DBG_LINE("gethostbyname() fail");
        return -1;
    }
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
    // A new connection that got the number of an old one owes it nothing.
    LinkForgetInput(s);
    if (NetConnect(s, addr, family, (uint16_t)port) != 0) {
        DBG_LINE("connect() fail");
        NetClose(s);
        return -1;
    }
    return s;
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

// One poll of the wait: 1 when the socket is ready, 0 when `ms` passed,
// WAIT_CUT_SHORT on an interrupted wait or a termination request, -1 after
// the reason.
static int PollOnce(int fd, int wantRead, int wantWrite, int ms, int* readable, int* writable)
{
    int n = NetPoll(fd, wantRead, wantWrite, ms, readable, writable);
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
    return n > 0 ? 1 : 0;
}

// The sliced wait for the socket to be readable (when `wantRead`) or
// writable (when `wantWrite`). 1 when it is, 0 when the whole wait passed,
// WAIT_CUT_SHORT on an interrupted wait or a termination request, -1 after
// the reason.
static int WaitReady(int fd, int wantRead, int wantWrite, int* readable, int* writable)
{
    // Trace lines held back while packets follow each other closely are
    // written once the wait has lasted as long as they may be held.
    int hold = TraceHold();
    if (hold >= 0) {
        int r = PollOnce(fd, wantRead, wantWrite, hold, readable, writable);
        if (r != 0)
            return r;
        TraceFlush();
    }
    for (int i = 0; i < WaitSlices(); i++) {
        int r = PollOnce(fd, wantRead, wantWrite, SliceMs(), readable, writable);
        if (r != 0)
            return r;
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

    int wantRead = !ViewQueue().backlogged;
    int wantWrite = GetHeadPktByStat(PKT_TO_SEND) != NULL;
    if (wantRead && LinkHasInput(fd)) {
        // What came in behind the last packet needs no wait.
        if (terminationRequested == 1)
            return 0;
        readable = 1;
    } else {
        int r = WaitReady(fd, wantRead, wantWrite, &readable, &writable);
        if (r == WAIT_CUT_SHORT)
            return 0;
        if (r <= 0) {
            if (r == 0 && wantWrite && SendStalled(1))
                return -1;
            return r;
        }
    }
    if (readable) {
        if (RecvPacket(fd, ReceiveBuffer()) < 0) {
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
