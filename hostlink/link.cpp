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

// Waits for a stream that is partway through a packet to move on: for more
// of it to arrive (`forSend` 0) or for room to send the rest of it (1). 1
// when the socket is ready, 0 when it was not within the wait's whole
// timeout or the program was asked to end, -1 when the wait itself failed.
// A manager that stops partway through a packet, or stops taking one, and
// stays connected would otherwise hold the program for ever.
static int WaitForProgress(int fd, int forSend)
{
    int timeout = deci2DefaultTimeout;
    int slice = timeout / deci2DefaultTimeoutGranularity;
    if (slice < 1)
        slice = 1;

    for (int waited = 0; waited < timeout; waited += slice) {
        int readable = 0, writable = 0;
        if (terminationRequested)
            return 0;
        int n = forSend ? NetWaitWritable(fd, slice)
                        : NetWait(fd, 0, slice, &readable, &writable);
        if (n > 0 && (forSend || readable))
            return 1;
        // A signal only cuts the slice short; the flag is looked at above.
        if (n < 0 && !NetInterrupted())
            return -1;
    }
    return 0;
}

// A stream may deliver a packet in any number of pieces and take it in any
// number of pieces: both directions go on until every byte has passed. A
// signal that does not ask the program to end only interrupts one call.
// Once a packet has `begun`, each further piece must come within the wait's
// timeout, or the packet counts as cut short.
static int RecvAll(int fd, unsigned char* buf, int len, int begun)
{
    int got = 0;

    while (got < len) {
        if (begun) {
            int w = WaitForProgress(fd, 0);
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
            begun = 1;
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

int SendPacket(int fd, PKT* pkt)
{
    const unsigned char* p = (const unsigned char*)pkt->deci2;
    int len = GetLE16(p);
    int sent = 0;

    // The wait saw room for some of the packet, not necessarily all of it:
    // each call takes what fits, and the rest must find room within the
    // wait's timeout.
    while (sent < len) {
        int n = NetSendSome(fd, p + sent, len - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && NetWouldBlock() && WaitForProgress(fd, 1) > 0)
            continue;
        if (n < 0 && NetInterrupted() && !terminationRequested)
            continue;
        // Left queued. If part of it went, the stream is spoilt anyway and
        // the failed wait ends the run.
        DBG_LINE("send() failed");
        return -1;
    }
    if (pkt->stat & PKT_SEND_ONLY)
        DelPacket(pkt);
    else
        pkt->stat = PKT_AWAITING_REPLY;
    return sent;
}

int RecvPacket(int fd, unsigned char* buf)
{
    int len;

    // The wait that called us saw the socket readable: the first piece is
    // there to be taken.
    if (RecvAll(fd, buf, DECI2_HDR_SIZE, 0) < 0)
        return -1;
    len = GetLE16(buf);
    if (len < DECI2_HDR_SIZE) {
        DBG_LINE(LINK_READ_FAILED);
        return -1;
    }
    if (RecvAll(fd, buf + DECI2_HDR_SIZE, len - DECI2_HDR_SIZE, 1) < 0)
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

// ---- the wait --------------------------------------------------------------

void* SampleMakeXyb(int* values)
{
    unsigned char* pkt = (unsigned char*)malloc(20);

    if (pkt == NULL)
        return NULL;
    MakeDeci2Hdr((DECI2_HDR*)pkt, 20, PROTO_SAMPLE, NODE_HOST, NODE_EE);
    PutLE32(pkt + 8, (uint32_t)values[0]);
    PutLE32(pkt + 12, (uint32_t)values[1]);
    PutLE32(pkt + 16, (uint32_t)values[2]);
    return pkt;
}

// The program's only wait: at most one packet received, one sent and one
// sample queued per call. The wait is cut into slices so that a termination
// request is noticed within one slice.
int MySelect(unsigned int socket)
{
    int timeout = deci2DefaultTimeout;
    int slices = deci2DefaultTimeoutGranularity;
    int readable = 0, writable = 0;
    int n = 0;

    for (int i = 0; i < slices; i++) {
        n = NetWait((int)socket, GetHeadPktByStat(PKT_TO_SEND) != NULL,
                    timeout / slices, &readable, &writable);
        if (n < 0) {
            if (NetInterrupted()) {
                DBG_PRINTF0("%s(%d): EINTR\n");
                return 0;
            }
            DBG_LINE(LINK_SELECT_FAILED);
            return -1;
        }
        if (n > 0 || terminationRequested == 1)
            break;
    }
    if (n == 0 || terminationRequested == 1)
        return 0;

    if (readable && RecvPacket((int)socket, rbuf) < 0) {
        DBG_LINE("receive error");
        return -1;
    }
    if (writable) {
        // The handler above may have changed the queue.
        PKT* head = GetHeadPktByStat(PKT_TO_SEND);
        if (head != NULL && SendPacket((int)socket, head) < 0)
            return -1;
    }
    if (sampleProtoOpened) {
        if (--ticker <= 0) {
            void* sample = SampleMakeXyb(xyb);
            ticker = 1;
            if (AddPacket(sample, PKT_SEND_ONLY) < 0) {
                free(sample);
                DBG_LINE(LINK_SAMPLE_FAILED);
                return -1;
            }
        }
    }
    return 1;
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
