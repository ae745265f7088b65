// The trace of the link: a line per packet, written by the transport as the
// packet crosses its socket. It reads the packets as a bystander would,
// from their bytes and within their length: the protocol modules are never
// asked, and nothing here changes what they see.
#include "trace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
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
// Lines not yet written. While packets follow each other closely they are
// written at most once every TRACE_HOLD_MS (or when this is full), so a
// busy link costs a write per many packets instead of one per turn.
#define TRACE_HOLD_MS 20
static char pending[32 * TRACE_LINE_SIZE];
static size_t pendingLen;
static int written;           // whether anything was written yet
static uint64_t lastWriteMs;  // SysMilliseconds of the last write

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
    written = 1;
    lastWriteMs = SysMilliseconds();
    if (fwrite(pending, 1, n, traceFile) != n || fflush(traceFile) != 0) {
        int err = errno != 0 ? errno : EIO;
        TraceClose();
        DBG_PRINTF("%s(%d): cannot write the trace: %s\n", strerror(err));
    }
}

int TraceHold(void)
{
    if (traceFile == NULL || pendingLen == 0)
        return -1;
    uint64_t since = SysMilliseconds() - lastWriteMs;
    if (!written || since >= TRACE_HOLD_MS) {
        TraceFlush();
        return -1;
    }
    return (int)(TRACE_HOLD_MS - since);
}

void TraceClose(void)
{
    TraceFlush();
    if (traceFile != NULL && !traceToStderr)
        fclose(traceFile);
    traceFile = NULL;
    traceToStderr = 0;
    pendingLen = 0;
    written = 0;
}

// ---- describing a packet ---------------------------------------------------
//
// A line is made for every packet, on the link's busiest paths too, so it
// is put together by hand rather than through the printf family.

typedef struct TRACE_TEXT {
    char* out;
    size_t size, len;  // len < size always: the text stays ended
} TRACE_TEXT;

// Appends as much of `s` as there is room for.
static void AddText(TRACE_TEXT* t, const char* s)
{
    while (*s != '\0' && t->len + 1 < t->size)
        t->out[t->len++] = *s++;
    t->out[t->len] = '\0';
}

static const char digits[] = "0123456789abcdef";

// `v` in decimal, or in hexadecimal with `hexDigits` digits at least.
static void AddNumber(TRACE_TEXT* t, uint64_t v, int hexDigits)
{
    char buf[24];
    int n = 0;
    unsigned base = hexDigits > 0 ? 16 : 10;
    do {
        buf[n++] = digits[v % base];
        v /= base;
    } while (v != 0 || n < hexDigits);
    char text[28];
    int k = 0;
    if (hexDigits > 0) {
        text[k++] = '0';
        text[k++] = 'x';
    }
    while (n > 0)
        text[k++] = buf[--n];
    text[k] = '\0';
    AddText(t, text);
}

// " name=value": decimal, or hexadecimal of `hexDigits` digits.
static void AddField(TRACE_TEXT* t, const char* name, uint32_t value, int hexDigits = 0)
{
    AddText(t, " ");
    AddText(t, name);
    AddText(t, "=");
    AddNumber(t, value, hexDigits);
}

static void AddNode(TRACE_TEXT* t, uint8_t node)
{
    switch (node) {
    case NODE_HOST: AddText(t, "host"); break;
    case NODE_EE: AddText(t, "EE"); break;
    case NODE_IOP: AddText(t, "IOP"); break;
    default: AddNumber(t, node, 2); break;
    }
}

static void AddProtocol(TRACE_TEXT* t, uint16_t proto)
{
    switch (proto) {
    case PROTO_NETMP: AddText(t, "NETMP"); break;
    case PROTO_DCMP: AddText(t, "DCMP"); break;
    case PROTO_DBGP: AddText(t, "DBGP"); break;
    case PROTO_DRFP: AddText(t, "DRFP"); break;
    case PROTO_TTYP: AddText(t, "TTYP"); break;
    case PROTO_SAMPLE: AddText(t, "SAMPLE"); break;
    default: AddNumber(t, proto, 4); break;
    }
}

// The file name of an open request, quoted: a control byte, a quote or a
// backslash escaped, every other byte as it is; up to its NUL or the end
// of the packet, where it is said to be cut.
static void AddName(TRACE_TEXT* t, const unsigned char* name, size_t avail)
{
    size_t i = 0;
    AddText(t, " name=\"");
    for (; i < avail && name[i] != '\0'; i++) {
        unsigned char c = name[i];
        char one[2] = {(char)c, '\0'};
        char escaped[5] = {'\\', 'x', digits[c >> 4], digits[c & 15], '\0'};
        AddText(t, c < 0x20 || c == 0x7f || c == '"' || c == '\\' ? escaped : one);
    }
    AddText(t, i < avail ? "\"" : "\" unterminated");
}

// DRFP: code and sequence number, then the fields of each code. False when
// the body is too short for them.
static int AddDrfp(TRACE_TEXT* t, const unsigned char* b, size_t n)
{
    static const size_t need[10] = {12, 16, 12, 12, 16, 16, 8, 8, 20, 16};
    if (n < 8)
        return 0;
    uint32_t code = GetLE32(b);
    AddField(t, "code", code);
    AddField(t, "seq", GetLE32(b + 4));
    if (code > 9)
        return 1;
    if (n < need[code])
        return 0;
    uint32_t w2 = n >= 12 ? GetLE32(b + 8) : 0, w3 = n >= 16 ? GetLE32(b + 12) : 0;
    switch (code) {
    case 0:
        AddField(t, "flag", w2, 1);
        AddName(t, b + 12, n - 12);
        break;
    case 1:
    case 3:
    case 5:
    case 9:
        AddField(t, "result", w2);
        if (code != 3)
            AddField(t, code == 1 ? "handle" : code == 5 ? "size" : "pos", w3);
        break;
    case 2: AddField(t, "handle", w2); break;
    case 4:
        AddField(t, "handle", w2);
        AddField(t, "size", w3);
        break;
    case 8:
        AddField(t, "handle", w2);
        AddText(t, " offset=");
        if ((int32_t)w3 < 0)
            AddText(t, "-");
        AddNumber(t, (uint64_t)llabs((int64_t)(int32_t)w3), 0);
        AddField(t, "base", GetLE32(b + 16));
        break;
    }
    return 1;
}

// DBGP: type and result; a memory write's address and size.
static int AddDbgp(TRACE_TEXT* t, const unsigned char* b, size_t n)
{
    if (n < 8)
        return 0;
    AddField(t, "type", b[2], 2);
    AddField(t, "result", b[4]);
    if (b[2] != 0x0a)
        return 1;
    if (n < 20)
        return 0;
    AddField(t, "address", GetLE32(b + 12), 8);
    AddField(t, "size", GetLE32(b + 16));
    return 1;
}

// The fields of the body `b` of `n` bytes; false when it is too short for
// them.
static int AddFields(TRACE_TEXT* t, uint16_t proto, const unsigned char* b, size_t n)
{
    switch (proto) {
    case PROTO_NETMP:
    case PROTO_DCMP:
        if (n < 2)
            return 0;
        AddField(t, proto == PROTO_NETMP ? "code" : "type", b[0], proto == PROTO_NETMP ? 2 : 0);
        AddField(t, proto == PROTO_NETMP ? "result" : "code", b[1]);
        return 1;
    case PROTO_DBGP: return AddDbgp(t, b, n);
    case PROTO_DRFP: return AddDrfp(t, b, n);
    case PROTO_TTYP:
        // The text's length alone: what the target prints is not repeated.
        if (n < 4)
            return 0;
        AddField(t, "text", (uint32_t)(n - 4));
        return 1;
    }
    return 1;
}

static void Describe(TRACE_TEXT* t, int sent, const unsigned char* pkt, int len)
{
    if (len < DECI2_HDR_SIZE)
        return;
    uint16_t proto = GetLE16(pkt + offsetof(DECI2_HDR, protocol));
    AddText(t, sent ? "sent " : "received ");
    AddNumber(t, (uint32_t)len, 0);
    AddText(t, " ");
    AddProtocol(t, proto);
    AddText(t, " ");
    AddNode(t, pkt[offsetof(DECI2_HDR, source)]);
    AddText(t, ">");
    AddNode(t, pkt[offsetof(DECI2_HDR, destination)]);
    if (!AddFields(t, proto, pkt + DECI2_HDR_SIZE, (size_t)len - DECI2_HDR_SIZE))
        AddText(t, " malformed");
}

void TracePacket(int fd, int sent, const unsigned char* pkt, int len)
{
    char line[TRACE_LINE_SIZE];
    if (traceFile == NULL)
        return;
    TRACE_TEXT t = {line, sizeof line - 1, 0};  // room kept for the line feed
    uint64_t us = SysMicroseconds() - traceStart;
    int conn = 0;
    for (int i = 0; i < TRACE_CONNECTIONS; i++)
        if (traceFds[i] == fd)
            conn = i + 1;
    AddNumber(&t, us / 1000000u, 0);
    char fraction[8] = {'.'};
    for (int i = 6, f = (int)(us % 1000000u); i >= 1; i--, f /= 10)
        fraction[i] = (char)('0' + f % 10);
    AddText(&t, fraction);
    AddText(&t, " ");
    AddNumber(&t, (uint32_t)conn, 0);
    AddText(&t, " ");
    Describe(&t, sent, pkt, len);
    line[t.len++] = '\n';
    if (pendingLen + t.len > sizeof pending)
        TraceFlush();
    memcpy(pending + pendingLen, line, t.len);
    pendingLen += t.len;
}
