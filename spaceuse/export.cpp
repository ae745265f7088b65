// The scan in ncdu's JSON export format (export.h).
//
// Items are formatted into a buffer of the module's own, handed whenever
// less than room for the longest item is left to a writer thread, which
// writes it while the walk fills the other one: the walk, which alone
// decides how long a scan takes, never waits for the file unless the
// writer is a whole buffer behind. Nothing of the tree is kept but the
// depth of the open arrays. With one processor, or where no thread can
// start, the walk writes the buffers itself.
#include "export.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "options.h"
#include "outfile.h"
#include "output.h"
#include "sysdep.h"

#define OUT_SIZE (64 * 1024)
// The longest item: a name escaped six bytes for one, five numbers and the
// keys.
#define ITEM_MAX (EXPORT_NAME_SIZE + 256)

static OutFile file;
static FILE* out;  // file.f while the export is being written
static char* bufs[2];
static char* outBuf;  // the one being filled
static size_t outUsed;
static unsigned pathTotal;
static int rootsWritten;  // paths whose root directory was written

// Shared with the writer, under writerLock.
static std::mutex writerLock;
static std::condition_variable writerCv;
static std::thread writer;
static int writerRunning;
static const char* handed;  // a buffer for the writer, NULL when it has none
static size_t handedLen;
static int writing;     // the writer is writing `handed`
static int stopWriter;
static int writeError;  // errno of the first failed write

static void WriteOut(const char* data, size_t len)
{
    if (len > 0 && fwrite(data, 1, len, out) != len && writeError == 0)
        writeError = errno ? errno : EIO;
}

static void WriterMain(void)
{
    std::unique_lock<std::mutex> g(writerLock);
    for (;;) {
        while (!handed && !stopWriter)
            writerCv.wait(g);
        if (!handed)
            return;
        writing = 1;
        g.unlock();
        WriteOut(handed, handedLen);
        g.lock();
        writing = 0;
        handed = NULL;
        writerCv.notify_all();
    }
}

// Until the writer has written what it was handed.
static void WaitWriter(std::unique_lock<std::mutex>& g)
{
    while (handed)
        writerCv.wait(g);
}

// The buffer goes out; the walk fills the other one meanwhile.
static void Drain(void)
{
    if (!writerRunning) {
        WriteOut(outBuf, outUsed);
        outUsed = 0;
        return;
    }
    std::unique_lock<std::mutex> g(writerLock);
    WaitWriter(g);
    handed = outBuf;
    handedLen = outUsed;
    writerCv.notify_all();
    outBuf = outBuf == bufs[0] ? bufs[1] : bufs[0];
    outUsed = 0;
}

static void StartWriter(void)
{
    writerRunning = 0;
    stopWriter = 0;
    handed = NULL;
    if (SysCpuCount() < 2)
        return;
    try {
        writer = std::thread(WriterMain);
        writerRunning = 1;
    } catch (const std::system_error&) {
        // The walk writes the buffers itself.
    }
}

static void StopWriter(void)
{
    if (!writerRunning)
        return;
    {
        std::unique_lock<std::mutex> g(writerLock);
        WaitWriter(g);
        stopWriter = 1;
        writerCv.notify_all();
    }
    writer.join();
    writerRunning = 0;
}

static void Put(const char* text, size_t len)
{
    if (OUT_SIZE - outUsed < len)
        Drain();
    memcpy(outBuf + outUsed, text, len);
    outUsed += len;
}

// A literal text: its length known when compiled.
#define PUT_LITERAL(text) Put(text, sizeof(text) - 1)

static void PutNumber(uint64_t v)
{
    char digits[24];
    size_t n = sizeof digits;
    do {
        digits[--n] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    Put(digits + n, sizeof digits - n);
}

size_t ExportQuote(const char* name, char* buf, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    size_t len = 0;
    if (size < 3) {
        if (size > 0)
            buf[0] = '\0';
        return 0;
    }
    buf[len++] = '"';
    // Most names need no escape: their plain part is copied in one go.
    const unsigned char* p = (const unsigned char*)name;
    const unsigned char* plain = p;
    while (*plain >= 0x20 && *plain != '"' && *plain != '\\')
        plain++;
    size_t run = (size_t)(plain - p);
    if (run > size - len - 2)
        run = size - len - 2;
    memcpy(buf + len, p, run);
    len += run;
    for (p += run; *p; p++) {
        char esc[7];
        size_t n = 2;
        esc[0] = '\\';
        switch (*p) {
        case '"': esc[1] = '"'; break;
        case '\\': esc[1] = '\\'; break;
        case '\n': esc[1] = 'n'; break;
        case '\t': esc[1] = 't'; break;
        case '\r': esc[1] = 'r'; break;
        case '\b': esc[1] = 'b'; break;
        case '\f': esc[1] = 'f'; break;
        default:
            if (*p < 0x20) {
                memcpy(esc + 1, "u00", 3);
                esc[4] = hex[*p >> 4];
                esc[5] = hex[*p & 15];
                n = 6;
            } else {
                esc[0] = (char)*p;  // every other byte as it is, never re-encoded
                n = 1;
            }
        }
        if (len + n + 2 > size)
            break;
        memcpy(buf + len, esc, n);
        len += n;
    }
    buf[len++] = '"';
    buf[len] = '\0';
    return len;
}

// `{"name":...,"asize":...}` for `item`.
static void PutObject(const ExportItem* item)
{
    if (OUT_SIZE - outUsed < ITEM_MAX)
        Drain();
    PUT_LITERAL("{\"name\":");
    outUsed += ExportQuote(item->name, outBuf + outUsed, EXPORT_NAME_SIZE);
    PUT_LITERAL(",\"asize\":");
    PutNumber(item->asize);
    PUT_LITERAL(",\"dsize\":");
    PutNumber(item->dsize);
    if (item->dev != 0) {
        PUT_LITERAL(",\"dev\":");
        PutNumber(item->dev);
    }
    if (item->ino != 0) {
        PUT_LITERAL(",\"ino\":");
        PutNumber(item->ino);
    }
    if (item->nlink > 1) {
        PUT_LITERAL(",\"nlink\":");
        PutNumber(item->nlink);
        PUT_LITERAL(",\"hlnkc\":true");
    }
    if (item->flags & EXPORT_READ_ERROR)
        PUT_LITERAL(",\"read_error\":true");
    if (item->flags & EXPORT_OTHER_FS)
        PUT_LITERAL(",\"excluded\":\"othfs\"");
    PUT_LITERAL("}");
}

int ExportActive(void)
{
    return out != NULL;
}

// Before an entry: the separator from what came before it.
static void BeginEntry(void)
{
    PUT_LITERAL(",\n");
}

void ExportDirBegin(const ExportItem* dir, int isRoot)
{
    if (!out)
        return;
    // With one path its root follows the metadata; otherwise the run's root.
    if (!isRoot || pathTotal > 1)
        BeginEntry();
    rootsWritten += isRoot;
    PUT_LITERAL("[");
    PutObject(dir);
}

void ExportDirEnd(void)
{
    if (out)
        PUT_LITERAL("]");
}

void ExportLeafDir(const ExportItem* dir, int isRoot)
{
    ExportDirBegin(dir, isRoot);
    ExportDirEnd();
}

void ExportFile(const ExportItem* file)
{
    if (!out)
        return;
    BeginEntry();
    PutObject(file);
}

static void Forget(void)
{
    free(bufs[0]);
    free(bufs[1]);
    bufs[0] = bufs[1] = outBuf = NULL;
    out = NULL;
}

int ExportOpen(const char* name, unsigned paths)
{
    bufs[0] = (char*)malloc(OUT_SIZE);
    bufs[1] = (char*)malloc(OUT_SIZE);
    outBuf = bufs[0];
    if (!bufs[0] || !bufs[1]) {
        OutFprintf(stderr, "Error: cannot write the export: out of memory\n");
        Forget();
        return 1;
    }
    if (OutFileOpen(&file, name, "export") != 0) {
        Forget();
        return 1;
    }
    out = file.f;
    pathTotal = paths;
    rootsWritten = 0;
    writeError = 0;
    outUsed = 0;
    StartWriter();
    PUT_LITERAL("[1,2,{\"progname\":\"spaceuse\",\"progver\":\"" PROGRAM_VERSION "\",\"timestamp\":");
    PutNumber((uint64_t)time(NULL));
    PUT_LITERAL("},\n");
    if (paths > 1) {
        // The run's own root: no size, the paths below it.
        char rootName[64];
        snprintf(rootName, sizeof rootName, "spaceuse: %u paths", paths);
        ExportItem root = {rootName, 0, 0, 0, 0, 0, 0};
        PUT_LITERAL("[");
        PutObject(&root);
    }
    return 0;
}

int ExportClose(int abandon)
{
    if (!out)
        return 0;
    if (pathTotal > 1)
        ExportDirEnd();
    PUT_LITERAL("]\n");
    Drain();
    StopWriter();
    int keep = pathTotal > 1 || rootsWritten > 0;
    int status = OutFileClose(&file, !abandon && keep, writeError);
    Forget();
    return status;
}
