// hostlink's main module: the packet queue, the transport and its one wait,
// start-up and diagnostics, and the run that claims the target, loads the
// program and serves it.
#include "main.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbgp.h"
#include "dcmp.h"
#include "drfp.h"
#include "net.h"
#include "netmp.h"

// ---- program-wide state -------------------------------------------------------

static char* bname;
static char hostName[TEXT_BUF_SIZE];
static char comment[TEXT_BUF_SIZE];
static int machineFree = 1;
static char machineOwner[TEXT_BUF_SIZE];
static int resetIfConnected;
static int cleanupRequired;
static int fdSock = -1;
static unsigned int socketBlock;
static unsigned int socketBlock2;
static char dberr[DBERR_SIZE];

int connected2ee;
int sampleProtoOpened;
volatile sig_atomic_t terminationRequested;

// The queue head; its stat and deci2 are never used.
static PKT* pl;

// Large enough for any packet a header's 16-bit length can describe.
static unsigned char rbuf[DECI2_MAX_PACKET];

static int deci2DefaultTimeout = 10;
static int deci2DefaultTimeoutGranularity = 10;

// Pointer sample values and the count of waits between samples.
static int xyb[3] = {1, 1, 1};
static int ticker = 1;

// ---- DECI2 header ---------------------------------------------------------------

void MakeDeci2Hdr(DECI2_HDR* hdr, uint16_t l, uint16_t p, uint8_t s, uint8_t d)
{
    unsigned char* b = (unsigned char*)hdr;

    PutLE16(b + 0, l);
    PutLE16(b + 2, 0);
    PutLE16(b + 4, p);
    b[6] = s;
    b[7] = d;
}

// ---- packet queue ---------------------------------------------------------------

int QueueCreate(void)
{
    pl = (PKT*)calloc(1, sizeof(PKT));
    if (pl == NULL)
        return -1;
    pl->list.next = &pl->list;
    pl->list.prev = &pl->list;
    return 0;
}

static void DelPacketLink(List* link)
{
    DelPacket((PKT*)link);
}

void QueueDestroy(void)
{
    if (pl == NULL)
        return;
    if (pl->list.next != &pl->list)
        ListForEach(&pl->list, DelPacketLink);
    free(pl);
    pl = NULL;
}

List* QueueHead(void)
{
    return pl ? &pl->list : NULL;
}

int AddPacket(void* buf, int stat)
{
    PKT* node;

    // A builder that ran out of memory hands over null; its caller reports.
    if (buf == NULL || pl == NULL)
        return -1;
    node = (PKT*)malloc(sizeof(PKT));
    if (node == NULL) {
        DBG_LINE("cannot allocate memory");
        return -1;
    }
    node->deci2 = (DECI2_HDR*)buf;
    node->stat = stat;
    ListInsertAfter(pl->list.prev, node);
    return 0;
}

void DelPacket(PKT* pkt)
{
    ListDelete(pkt);
    free(pkt->deci2);
    free(pkt);
}

// Only the first packet is ever looked at: a request awaiting its reply holds
// back everything queued behind it.
PKT* GetHeadPktByStat(int stat)
{
    PKT* head;

    if (pl == NULL || pl->list.next == &pl->list)
        return NULL;
    head = (PKT*)pl->list.next;
    return (head->stat & stat) ? head : NULL;
}

// ---- diagnostics ----------------------------------------------------------------

char* _dbsprintf(const char* format, ...)
{
    va_list ap;
    char* cr;
    int n;

    va_start(ap, format);
    n = vsnprintf(dberr, sizeof dberr, format, ap);
    va_end(ap);
    if (n < 0) {
        dberr[0] = '\0';
    } else if ((size_t)n >= sizeof dberr) {
        // A line cut at the buffer's end still ends as a line.
        dberr[sizeof dberr - 2] = '\n';
        dberr[sizeof dberr - 1] = '\0';
    }
    cr = strchr(dberr, '\r');
    if (cr != NULL) {
        cr[0] = '\n';
        cr[1] = '\0';
    }
    return dberr;
}

void DbPrint(const char* text)
{
    // Written as it is, never as a format; flushed so that a reader sees
    // every line as soon as it is made.
    fputs(text, stdout);
    fflush(stdout);
    NetDebugOutput(text);
}

const char* DbFileName(const char* path)
{
    const char* base = path;

    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    return base;
}

// The target's console text, whatever its length: CR LF and a lone CR each
// end a line, and the text always ends with a line feed.
void PrintConsoleText(const char* text, size_t len)
{
    char out[DBERR_SIZE];
    size_t o = 0;
    char last = '\0';

    for (size_t i = 0; i < len && text[i] != '\0'; i++) {
        char c = text[i];
        if (c == '\r') {
            c = '\n';
            if (i + 1 < len && text[i + 1] == '\n')
                i++;
        }
        out[o++] = c;
        last = c;
        if (o == sizeof out - 1) {
            out[o] = '\0';
            DbPrint(out);
            o = 0;
        }
    }
    if (last != '\n')
        out[o++] = '\n';
    out[o] = '\0';
    if (o > 0)
        DbPrint(out);
}

// ---- accessors ------------------------------------------------------------------

char* MakeComment(void)
{
    // A host name too long for the buffer cuts the text; every call cuts it
    // the same way, so the ownership check still recognises it.
    int n = snprintf(comment, sizeof comment, "@%s, Norvane hostlink", HostName());
    if (n < 0)
        comment[0] = '\0';
    return comment;
}

void SetMachineFree(int i)
{
    machineFree = i;
}

char* MachineOwner(void)
{
    return machineOwner;
}

char* ProgramName(void)
{
    return bname;
}

char* HostName(void)
{
    return hostName;
}

void SetWaitTimeout(int timeout, int granularity)
{
    deci2DefaultTimeout = timeout > 0 ? timeout : 1;
    deci2DefaultTimeoutGranularity = granularity > 0 ? granularity : 1;
}

unsigned char* ReceiveBuffer(void)
{
    return rbuf;
}

// ---- connection and transport ---------------------------------------------------

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

int ConnectNet(char* arg)
{
    char host[HOST_BUF_SIZE];
    const char* portText = DECI2_DEFAULT_PORT;
    uint32_t addr;
    int family = NET_AF_INET;
    int port;
    int s;

    if (arg != NULL && arg[0] != '\0') {
        if (SplitAddress(arg, host, sizeof host, &portText) < 0) {
            DBG_LINE("argument larger than expect");
            return -1;
        }
    } else if (NetGetHostName(host, (int)sizeof host) != 0) {
        DBG_LINE("gethostname() fail");
        return -1;
    }

    // The name is resolved before the port text is read, so an unknown
    // host is what gets reported when both are wrong.
    addr = NetInetAddr(host);
    if (addr == NET_INADDR_NONE && NetResolve(host, &addr, &family) != 0) {
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
                DBG_LINE("read() failed");
                return -1;
            }
            if (w == 0) {
                DBG_LINE("read() failed.");
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
            DBG_LINE("read() failed.");
        else
            DBG_LINE("read() failed");
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
        pkt->stat *= 2;
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
        DBG_LINE("read() failed");
        return -1;
    }
    if (RecvAll(fd, buf + DECI2_HDR_SIZE, len - DECI2_HDR_SIZE, 1) < 0)
        return -1;

    char* body = (char*)buf + DECI2_HDR_SIZE;
    uint16_t bodyLen = (uint16_t)(len - DECI2_HDR_SIZE);
    switch (GetLE16(buf + 4)) {
    case PROTO_NETMP:
        return NetmpHandler(body, bodyLen);
    case PROTO_DCMP:
        return DcmpHandler(body, bodyLen);
    case PROTO_DBGP:
        return DbgpHandler(body, bodyLen);
    case PROTO_DRFP:
        return DrfpHandler(body, bodyLen);
    case PROTO_TTYP:
        // A 4-byte word the target puts before its text is not ours to read.
        if (len > 12)
            PrintConsoleText((const char*)buf + 12, (size_t)(len - 12));
        else
            PrintConsoleText("", 0);
        return 1;
    default:
        DBG_LINE("unknown packet received");
        return -1;
    }
}

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
            DBG_LINE("select() faild.");
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
                DBG_LINE("faild to send packet");
                return -1;
            }
        }
    }
    return 1;
}

int SendAndWaitReply(void* buf, unsigned int socket)
{
    int r;

    if (AddPacket(buf, PKT_SEND_REQUEST) < 0) {
        // Taken over either way: a request that could not be queued goes.
        free(buf);
        return -1;
    }
    r = MySelect(socket);
    while (r > 0 && GetHeadPktByStat(PKT_REPLIED) == NULL)
        r = MySelect(socket);
    if (r == 0) {
        DBG_LINE("timeout");
        return -1;
    }
    if (r < 0) {
        DBG_LINE("select error");
        return -1;
    }
    DelPacket(GetHeadPktByStat(PKT_REPLIED));
    return 1;
}

// ---- start-up -------------------------------------------------------------------

static void Exit(void)
{
    QueueDestroy();
    if (cleanupRequired == 1)
        NetCleanup();
}

static void SigExit(int s)
{
    NetInstallSignal(s, SigExit);
    terminationRequested = 1;
}

static int Usage(int f_true)
{
    if (!f_true)
        return 0;
    DBG_PRINTF("%s(%d): Usage: %s [-d <host>[:<port>]] [-kickme] <filename> [<args>*]\n",
               bname);
    exit(1);
}

void SetProgramName(char* av0)
{
    static char empty[] = "";
    char* slash;

    if (av0 == NULL) {
        bname = empty;
        return;
    }
    slash = strrchr(av0, '/');
    bname = slash ? slash + 1 : av0;
}

int HostlinkParseArgs(int ac, char** av, char* envAddress, HOSTLINK_ARGS* a)
{
    int i = 1;

    a->address = envAddress;
    a->resetIfConnected = 0;
    a->filename = NULL;
    a->nargs = 0;
    a->args = NULL;

    while (i < ac && av[i][0] == '-') {
        if (strcmp(av[i], "-d") == 0) {
            if (i + 1 >= ac)
                return -1;
            a->address = av[i + 1];
            i += 2;
        } else if (strcmp(av[i], "-kickme") == 0) {
            a->resetIfConnected = 1;
            i++;
        } else {
            return -1;
        }
    }
    if (i >= ac)
        return -1;
    // Everything after the file name belongs to the program, dashes or not.
    a->filename = av[i];
    a->nargs = ac - i - 1;
    a->args = a->nargs > 0 ? &av[i + 1] : NULL;
    return 0;
}

// ---- claiming, loading and serving ----------------------------------------------

static int RunSequence(char* filename, int nargs, char** args)
{
    // The first connection carries the run; the other two only register.
    static const uint8_t priorities[3] = {255, 208, 129};
    unsigned int conns[3] = {(unsigned int)fdSock, socketBlock, socketBlock2};
    int r;

    if (SendAndWaitReply(NetmpMakeStatus(), (unsigned int)fdSock) < 0) {
        DBG_LINE("faild to send status packet");
        NetCleanup();
        exit(-1);
    }
    cleanupRequired = 1;

    if (machineFree == 0 && strcmp(MachineOwner(), MakeComment()) == 0) {
        if (!resetIfConnected) {
            DBG_LINE("you're already connected");
            exit(-1);
        }
        SetWaitTimeout(1, 1);
        if (SendAndWaitReply(NetmpMakeReset(), (unsigned int)fdSock) > 0) {
            DBG_LINE("you're already connected - reset sent");
            exit(0);
        }
        // The unanswered reset request.
        PKT* head = GetHeadPktByStat(-1);
        if (head != NULL)
            DelPacket(head);
        DBG_LINE("you're already connected - reset sent");
        exit(-1);
    }
    if (machineFree == 0) {
        // Someone else's target: the run did not do what was asked of it.
        DBG_PRINTF("%s(%d): target owned by %s\n", MachineOwner());
        NetCleanup();
        cleanupRequired = 0;
        exit(-1);
    }

    for (int i = 0; i < 3; i++) {
        if (SendAndWaitReply(NetmpMakeConnect(priorities[i]), conns[i]) < 0) {
            DBG_LINE("faild to send connect packet");
            exit(-1);
        }
    }
    for (int i = 0; i < 3; i++) {
        if (SendAndWaitReply(NetmpMakeComment(), conns[i]) < 0) {
            DBG_LINE("faild to send filesrv connect packet");
            exit(-1);
        }
    }
    if (SendAndWaitReply(NetmpMakeReset(), (unsigned int)fdSock) < 0) {
        DBG_LINE("faild to send reset packet");
        exit(-1);
    }

    r = MySelect((unsigned int)fdSock);
    while (r > 0 && connected2ee == 0)
        r = MySelect((unsigned int)fdSock);
    if (r == 0) {
        DBG_LINE("timeout");
        exit(-1);
    }
    if (r < 0) {
        DBG_LINE("select error");
        exit(-1);
    }

    if (DbgpPload(filename, nargs, args, (unsigned int)fdSock) < 0) {
        DBG_LINE("cannot download program");
        exit(-1);
    }

    // Serve until a wait fails, a request goes unanswered through a whole
    // quiet wait, or the user asks the program to end. A quiet wait with
    // nothing outstanding just starts the next one.
    r = MySelect((unsigned int)fdSock);
    while (r >= 0) {
        if (r == 0 && GetHeadPktByStat(PKT_AWAITING_REPLY) != NULL) {
            DBG_LINE("timeout");
            exit(-1);
        }
        if (terminationRequested == 1)
            exit(0);
        r = MySelect((unsigned int)fdSock);
    }
    QueueDestroy();
    exit(1);
}

int HostlinkMain(int ac, char** av)
{
    HOSTLINK_ARGS a;
    uint16_t version = 0;

    char* address = getenv("DSNETM");
    NetInstallSignals(SigExit);
    atexit(Exit);
    SetProgramName(ac > 0 ? av[0] : NULL);

    Usage(ac < 2);
    if (HostlinkParseArgs(ac, av, address, &a) < 0)
        Usage(1);
    resetIfConnected = a.resetIfConnected;

    if (NetStartup(0x101, &version) != 0) {
        DBG_PRINTF0("%s(%d): Unable to locate an appropriate WINSOCK.DLL\n");
        exit(1);
    }
    if ((version & 0xff) != 1 || (version >> 8) != 1) {
        DBG_PRINTF0("%s(%d): Unable to get winsock v1.1\n");
        NetCleanup();
        exit(1);
    }
    if (NetGetHostName(hostName, (int)sizeof hostName) != 0) {
        DBG_PRINTF0("%s(%d): Unable to retrieve hostname\n");
        NetCleanup();
        exit(1);
    }

    fdSock = ConnectNet(a.address);
    int s1 = fdSock >= 0 ? ConnectNet(a.address) : -1;
    int s2 = s1 >= 0 ? ConnectNet(a.address) : -1;
    if (s2 < 0) {
        NetCleanup();
        exit(-1);
    }
    socketBlock = (unsigned int)s1;
    socketBlock2 = (unsigned int)s2;

    if (QueueCreate() < 0) {
        DBG_LINE("cannot allocate memory");
        NetCleanup();
        exit(-1);
    }
    return RunSequence(a.filename, a.nargs, a.args);
}
