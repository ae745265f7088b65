// The trace of the link: a line per packet, written by the transport as the
// packet crosses its socket. It reads the packets as a bystander would,
// from their bytes and within their length: the protocol modules are never
// asked, and nothing here changes what they see.
#include "trace.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "deci2.h"
#include "diag.h"
#include "platform.h"

#define TRACE_CONNECTIONS 3
// Room for a line with the longest file name the server takes, every byte
// of it escaped; a longer name (which is refused) is cut.
#define TRACE_LINE_SIZE 2048

static FILE* traceFile;
static int traceToStderr;
static uint64_t traceStart;
static int traceFds[TRACE_CONNECTIONS] = {-1, -1, -1};
// Lines made since the program last waited, written out before it waits
// again: one write for the packets of a turn instead of one each.
static char pending[4 * TRACE_LINE_SIZE];
static size_t pendingLen;

int TraceOpen(const char* name)
{
    FILE* f = strcmp(name, "-") == 0 ? stderr : FileCreateStream(name);
    if (f == NULL)
        return -1;
    TraceClose();
    traceFile = f;
    traceToStderr = f == stderr;
    traceStart = SysMicroseconds();
    return 0;
}

int TraceToStderr(void)
{
    return traceFile != NULL && traceToStderr;
}

void TraceConnection(int fd, int number)
{
    if (number >= 1 && number <= TRACE_CONNECTIONS)
        traceFds[number - 1] = fd;
}

void TraceFlush(void)
{
    if (traceFile == NULL || pendingLen == 0)
        return;
    errno = 0;
    size_t n = pendingLen;
    pendingLen = 0;
    if (fwrite(pending, 1, n, traceFile) != n || fflush(traceFile) != 0) {
        int err = errno != 0 ? errno : EIO;
        TraceClose();
        DBG_PRINTF("%s(%d): cannot write the trace: %s\n", strerror(err));
    }
}

void TraceClose(void)
{
    TraceFlush();
    if (traceFile != NULL && !traceToStderr)
        fclose(traceFile);
    traceFile = NULL;
    traceToStderr = 0;
    pendingLen = 0;
}

// ---- describing a packet ---------------------------------------------------

typedef struct TRACE_TEXT {
    char* out;
    size_t size, len;
} TRACE_TEXT;

static void Add(TRACE_TEXT* t, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Appends to the line as far as it has room; the line stays ended.
static void Add(TRACE_TEXT* t, const char* fmt, ...)
{
    va_list ap;
    if (t->len + 1 >= t->size)
        return;
    va_start(ap, fmt);
    int n = vsnprintf(t->out + t->len, t->size - t->len, fmt, ap);
    va_end(ap);
    if (n > 0)
        t->len = (size_t)n < t->size - t->len ? t->len + (size_t)n : t->size - 1;
}

static const char* NodeName(uint8_t node, char* buf, size_t size)
{
    switch (node) {
    case NODE_HOST: return "host";
    case NODE_EE: return "EE";
    case NODE_IOP: return "IOP";
    }
    snprintf(buf, size, "0x%02x", node);
    return buf;
}

static const char* ProtocolName(uint16_t proto, char* buf, size_t size)
{
    switch (proto) {
    case PROTO_NETMP: return "NETMP";
    case PROTO_DCMP: return "DCMP";
    case PROTO_DBGP: return "DBGP";
    case PROTO_DRFP: return "DRFP";
    case PROTO_TTYP: return "TTYP";
    case PROTO_SAMPLE: return "SAMPLE";
    }
    snprintf(buf, size, "0x%04x", proto);
    return buf;
}

// The file name of an open request, quoted: a control byte, a quote or a
// backslash escaped, every other byte as it is; up to its NUL or the end
// of the packet, where it is said to be cut.
static void AddName(TRACE_TEXT* t, const unsigned char* name, size_t avail)
{
    size_t i = 0;
    Add(t, " name=\"");
    for (; i < avail && name[i] != '\0'; i++) {
        unsigned char c = name[i];
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\')
            Add(t, "\\x%02x", c);
        else
            Add(t, "%c", c);
    }
    Add(t, i < avail ? "\"" : "\" unterminated");
}

// DRFP: code and sequence number, then the fields of each code. False when
// the body is too short for them.
static int AddDrfp(TRACE_TEXT* t, const unsigned char* b, size_t n)
{
    static const size_t need[10] = {12, 16, 12, 12, 16, 16, 8, 8, 20, 16};
    if (n < 8)
        return 0;
    uint32_t code = GetLE32(b);
    Add(t, " code=%u seq=%u", (unsigned)code, (unsigned)GetLE32(b + 4));
    if (code > 9)
        return 1;
    if (n < need[code])
        return 0;
    uint32_t w2 = n >= 12 ? GetLE32(b + 8) : 0, w3 = n >= 16 ? GetLE32(b + 12) : 0;
    switch (code) {
    case 0:
        Add(t, " flag=0x%x", (unsigned)w2);
        AddName(t, b + 12, n - 12);
        break;
    case 1: Add(t, " result=%u handle=%u", (unsigned)w2, (unsigned)w3); break;
    case 2: Add(t, " handle=%u", (unsigned)w2); break;
    case 3: Add(t, " result=%u", (unsigned)w2); break;
    case 4: Add(t, " handle=%u size=%u", (unsigned)w2, (unsigned)w3); break;
    case 5: Add(t, " result=%u size=%u", (unsigned)w2, (unsigned)w3); break;
    case 8:
        Add(t, " handle=%u offset=%d base=%u", (unsigned)w2, (int)(int32_t)w3,
            (unsigned)GetLE32(b + 16));
        break;
    case 9: Add(t, " result=%u pos=%u", (unsigned)w2, (unsigned)w3); break;
    }
    return 1;
}

// DBGP: type and result; a memory write's address and size.
static int AddDbgp(TRACE_TEXT* t, const unsigned char* b, size_t n)
{
    if (n < 8)
        return 0;
    Add(t, " type=0x%02x result=%u", b[2], b[4]);
    if (b[2] != 0x0a)
        return 1;
    if (n < 20)
        return 0;
    Add(t, " address=0x%08x size=%u", (unsigned)GetLE32(b + 12), (unsigned)GetLE32(b + 16));
    return 1;
}

// The fields of the body `b` of `n` bytes; false when it is too short for
// them.
static int AddFields(TRACE_TEXT* t, uint16_t proto, const unsigned char* b, size_t n)
{
    switch (proto) {
    case PROTO_NETMP:
        if (n < 2)
            return 0;
        Add(t, " code=0x%02x result=%u", b[0], b[1]);
        return 1;
    case PROTO_DCMP:
        if (n < 2)
            return 0;
        Add(t, " type=%u code=%u", b[0], b[1]);
        return 1;
    case PROTO_DBGP: return AddDbgp(t, b, n);
    case PROTO_DRFP: return AddDrfp(t, b, n);
    case PROTO_TTYP:
        // The text's length alone: what the target prints is not repeated.
        if (n < 4)
            return 0;
        Add(t, " text=%u", (unsigned)(n - 4));
        return 1;
    }
    return 1;
}

void TraceDescribe(int sent, const unsigned char* pkt, int len, char* out, size_t size)
{
    TRACE_TEXT t = {out, size, 0};
    char p[8], s[8], d[8];
    out[0] = '\0';
    if (len < DECI2_HDR_SIZE)
        return;
    uint16_t proto = GetLE16(pkt + offsetof(DECI2_HDR, protocol));
    Add(&t, "%s %d %s %s>%s", sent ? "sent" : "received", len, ProtocolName(proto, p, sizeof p),
        NodeName(pkt[offsetof(DECI2_HDR, source)], s, sizeof s),
        NodeName(pkt[offsetof(DECI2_HDR, destination)], d, sizeof d));
    if (!AddFields(&t, proto, pkt + DECI2_HDR_SIZE, (size_t)len - DECI2_HDR_SIZE))
        Add(&t, " malformed");
}

void TracePacket(int fd, int sent, const unsigned char* pkt, int len)
{
    char line[TRACE_LINE_SIZE];
    if (traceFile == NULL)
        return;
    uint64_t us = SysMicroseconds() - traceStart;
    int conn = 0;
    for (int i = 0; i < TRACE_CONNECTIONS; i++)
        if (traceFds[i] == fd)
            conn = i + 1;
    int n = snprintf(line, sizeof line, "%llu.%06llu %d ", (unsigned long long)(us / 1000000u),
                     (unsigned long long)(us % 1000000u), conn);
    if (n < 0 || (size_t)n >= sizeof line)
        return;
    TraceDescribe(sent, pkt, len, line + n, sizeof line - (size_t)n - 1);
    size_t end = strlen(line);
    line[end++] = '\n';
    if (pendingLen + end > sizeof pending)
        TraceFlush();
    memcpy(pending + pendingLen, line, end);
    pendingLen += end;
}
