// DRFP: the running program's file requests, answered from the host's disk.
//
// The target opens files for reading, moves in them, reads them and closes
// them again. Every answered request gets one reply, queued to go out
// behind whatever is already waiting; the queue frees it once sent.
#include "drfp.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "deci2.h"
#include "diag.h"
#include "platform.h"

#define DRFP_CODE_OPEN 0
#define DRFP_CODE_OPENR 1
#define DRFP_CODE_CLOSE 2
#define DRFP_CODE_CLOSER 3
#define DRFP_CODE_READ 4
#define DRFP_CODE_READR 5
#define DRFP_CODE_IGNORED 6  // sent by the target; needs no answer
#define DRFP_CODE_SEEK 8
#define DRFP_CODE_SEEKR 9

// Result numbers are fixed on the wire, whatever the host's errno values.
#define DRFP_RESULT_OK 0
#define DRFP_RESULT_NOT_FOUND 2
#define DRFP_RESULT_READ_ERROR 5
#define DRFP_RESULT_FAILED 9

// Largest read answered at once; the target asks again for more.
#define DRFP_MAX_READ 0x8000
// Room for a file name and its terminator.
#define DRFP_NAME_SIZE 260
// Files the target may hold open at the same time.
#define DRFP_MAX_OPEN 64
// Positions travel as signed 32-bit values.
#define DRFP_MAX_POS 0x7FFFFFFF

// Texts in the system's own wording, kept letter for letter as they stand:
// the seek reply's lost-reply line has two blanks, the others one.
#define DRFP_REPLY_LOST "faild to send packet"
#define DRFP_SEEK_REPLY_LOST "faild  to send packet"
#define DRFP_UNKNOWN "%s:(%d) - Unknown DRFP message\n"

// ---- wire records ----------------------------------------------------------

// Start of every DRFP body.
typedef struct DRFP_HDR {
    uint32_t code;
    uint32_t seqnum;  // the requester's; echoed in the reply
} DRFP_HDR;

// Requests, as bodies (without the DECI2 header).
typedef struct DRFP_OPENPACKET {
    DRFP_HDR drfp;
    uint32_t flag;  // the requester's open flags; every file opens "rb"
    // the NUL-terminated file name follows
} DRFP_OPENPACKET;

typedef struct DRFP_SEEKPACKET {
    DRFP_HDR drfp;
    uint32_t filedescriptor;
    uint32_t offset;  // signed
    uint32_t base;    // 0 start, 1 current position, 2 end; else start
} DRFP_SEEKPACKET;

typedef struct DRFP_READPACKET {
    DRFP_HDR drfp;
    uint32_t filedescriptor;
    uint32_t numberofbytes;
} DRFP_READPACKET;

typedef struct DRFP_CLOSEPACKET {
    DRFP_HDR drfp;
    uint32_t filedescriptor;
} DRFP_CLOSEPACKET;

// Replies, whole packets.
typedef struct DRFP_OPENRPACKET {
    DECI2_HDR deci2;
    DRFP_HDR drfp;
    uint32_t result;
    uint32_t filedescriptor;  // 0 when the open failed
} DRFP_OPENRPACKET;

typedef struct DRFP_SEEKRPACKET {
    DECI2_HDR deci2;
    DRFP_HDR drfp;
    uint32_t result;
    uint32_t pos;  // from the start of the file; 0 when the seek failed
} DRFP_SEEKRPACKET;

typedef struct DRFP_READRPACKET {
    DECI2_HDR deci2;
    DRFP_HDR drfp;
    uint32_t result;
    uint32_t numberofbytes;  // the data bytes that follow
} DRFP_READRPACKET;

typedef struct DRFP_CLOSERPACKET {
    DECI2_HDR deci2;
    DRFP_HDR drfp;
    uint32_t result;
} DRFP_CLOSERPACKET;

static_assert(sizeof(DRFP_HDR) == 8, "DRFP header is 8 bytes");
static_assert(sizeof(DRFP_OPENPACKET) == 12, "open request: name at 12");
static_assert(sizeof(DRFP_SEEKPACKET) == 20, "seek request is 20 bytes");
static_assert(offsetof(DRFP_SEEKPACKET, base) == 16, "seek base at 16");
// Every request that names a file has its handle right after the header.
static_assert(offsetof(DRFP_SEEKPACKET, filedescriptor) == sizeof(DRFP_HDR), "seek handle at 8");
static_assert(offsetof(DRFP_READPACKET, filedescriptor) == sizeof(DRFP_HDR), "read handle at 8");
static_assert(offsetof(DRFP_CLOSEPACKET, filedescriptor) == sizeof(DRFP_HDR), "close handle at 8");
static_assert(sizeof(DRFP_READPACKET) == 16, "read request is 16 bytes");
static_assert(offsetof(DRFP_READPACKET, numberofbytes) == 12, "count at 12");
static_assert(sizeof(DRFP_CLOSEPACKET) == 12, "close request is 12 bytes");
static_assert(sizeof(DRFP_OPENRPACKET) == 24, "open reply is 24 bytes");
static_assert(offsetof(DRFP_OPENRPACKET, drfp) == 8, "reply body at 8");
static_assert(offsetof(DRFP_OPENRPACKET, filedescriptor) == 20, "handle at 20");
static_assert(sizeof(DRFP_SEEKRPACKET) == 24, "seek reply is 24 bytes");
static_assert(sizeof(DRFP_READRPACKET) == 24, "read reply head is 24 bytes");
static_assert(sizeof(DRFP_CLOSERPACKET) == 20, "close reply is 20 bytes");

// ---- open files ------------------------------------------------------------

// Each open file is named by a handle of its own. Handles are not reused
// soon after a close, so a stale handle from the target finds nothing
// instead of some other file.
typedef struct DRFP_FILE {
    uint32_t handle;  // 0: slot free
    FILE* fp;
} DRFP_FILE;

static DRFP_FILE drfpFiles[DRFP_MAX_OPEN];
static uint32_t drfpNextHandle = 1;

static DRFP_FILE* DrfpFindFile(uint32_t handle)
{
    if (handle == 0)
        return NULL;
    for (int i = 0; i < DRFP_MAX_OPEN; i++)
        if (drfpFiles[i].handle == handle)
            return &drfpFiles[i];
    return NULL;
}

static DRFP_FILE* DrfpFreeSlot(void)
{
    for (int i = 0; i < DRFP_MAX_OPEN; i++)
        if (drfpFiles[i].handle == 0)
            return &drfpFiles[i];
    return NULL;
}

// A handle that is non-zero and names no open file. With at most
// DRFP_MAX_OPEN handles in use this takes a few steps at most.
static uint32_t DrfpNewHandle(void)
{
    for (;;) {
        uint32_t h = drfpNextHandle++;
        if (drfpNextHandle == 0)
            drfpNextHandle = 1;
        if (h != 0 && DrfpFindFile(h) == NULL)
            return h;
    }
}

// Closes a slot's file and frees the slot: the stream is gone after fclose
// whatever it returns. fclose's result.
static int DrfpRelease(DRFP_FILE* f)
{
    int r = fclose(f->fp);
    f->handle = 0;
    f->fp = NULL;
    return r;
}

// The open file a request names in the word after its header, or null when
// the request is shorter than `need` bytes or the handle names nothing.
static DRFP_FILE* DrfpFileOf(const char* buf, uint16_t length, size_t need)
{
    if (length < need)
        return NULL;
    return DrfpFindFile(GetLE32(buf + sizeof(DRFP_HDR)));
}

// The host's form of a name the target asks for: the target names files
// with either separator, the host opens them with its own.
static void DrfpHostPath(char* name)
{
    for (; *name != '\0'; name++)
        if (*name == FILE_FOREIGN_SEPARATOR)
            *name = FILE_SEPARATOR;
}

// ---- replies ---------------------------------------------------------------

// The reply to the request `req`: `size` bytes with its header, code and
// the request's sequence number filled and the rest of its fixed part
// zeroed. Null, after `lost`, when memory is exhausted.
static unsigned char* DrfpNewReply(const char* req, size_t size, size_t fixed, uint32_t code,
                                   const char* lost)
{
    unsigned char* pkt = (unsigned char*)malloc(size);
    if (pkt == NULL) {
        DBG_LINE(lost);
        return NULL;
    }
    memset(pkt, 0, fixed);
    MakeDeci2Hdr((DECI2_HDR*)pkt, (uint16_t)size, PROTO_DRFP, NODE_HOST, NODE_IOP);
    DRFP_HDR* hdr = (DRFP_HDR*)(pkt + DECI2_HDR_SIZE);
    PutLE32(&hdr->code, code);
    PutLE32(&hdr->seqnum, GetLE32(req + offsetof(DRFP_HDR, seqnum)));
    return pkt;
}

// Hands a reply to the queue; one the queue refuses is dropped here, after
// `lost`.
static int DrfpQueue(void* pkt, const char* lost)
{
    if (AddPacket(pkt, PKT_SEND_ONLY) < 0) {
        free(pkt);
        DBG_LINE(lost);
        return -1;
    }
    return 0;
}

// ---- requests --------------------------------------------------------------

// Opens the file an open request names into a free slot: DRFP_RESULT_OK
// with `*opened` set, or DRFP_RESULT_NOT_FOUND after the reason.
static uint32_t DrfpOpenNamed(const char* buf, uint16_t length, DRFP_FILE** opened)
{
    const char* name = buf + sizeof(DRFP_OPENPACKET);
    size_t avail = length > sizeof(DRFP_OPENPACKET) ? length - sizeof(DRFP_OPENPACKET) : 0;
    const char* nul = avail > 0 ? (const char*)memchr(name, '\0', avail) : NULL;
    // The name in this system's form: on Windows in UTF-8, up to three
    // bytes for each byte the target sent.
    char host[3 * DRFP_NAME_SIZE];

    *opened = NULL;
    if (nul == NULL) {
        DBG_LINE("file name not terminated");
        return DRFP_RESULT_NOT_FOUND;
    }
    if ((size_t)(nul - name) >= DRFP_NAME_SIZE ||
        FileNameFromTarget(name, host, sizeof host) < 0) {
        DBG_LINE("file name too long");
        return DRFP_RESULT_NOT_FOUND;
    }
    DrfpHostPath(host);
    DBG_PRINTF("%s(%d): fopen(%s, \"rb\")\n", host);
    DRFP_FILE* slot = DrfpFreeSlot();
    if (slot == NULL) {
        DBG_PRINTF("%s(%d): %s - too many open files\n", host);
        return DRFP_RESULT_NOT_FOUND;
    }
    // Only ordinary files are served. A directory would open on some systems
    // and then give nothing but read errors; a FIFO blocks the open until
    // someone writes to it, and a terminal or device blocks the read: any of
    // these named by the target would stop the whole link.
    FILE* fp = FileOpenRegularStream(host);
    if (fp == NULL) {
        DBG_PRINTF("%s(%d): %s - file not found\n", host);
        return DRFP_RESULT_NOT_FOUND;
    }
    slot->handle = DrfpNewHandle();
    slot->fp = fp;
    *opened = slot;
    return DRFP_RESULT_OK;
}

static void DrfpOpen(const char* buf, uint16_t length)
{
    DRFP_OPENRPACKET* r = (DRFP_OPENRPACKET*)DrfpNewReply(
        buf, sizeof(DRFP_OPENRPACKET), sizeof(DRFP_OPENRPACKET), DRFP_CODE_OPENR, DRFP_REPLY_LOST);
    if (r == NULL)
        return;

    DRFP_FILE* slot;
    PutLE32(&r->result, DrfpOpenNamed(buf, length, &slot));
    PutLE32(&r->filedescriptor, slot != NULL ? slot->handle : 0);
    // The target never learns the handle of a lost reply, so nothing would
    // close the file.
    if (DrfpQueue(r, DRFP_REPLY_LOST) < 0 && slot != NULL)
        DrfpRelease(slot);
}

// Moves in `fp` as the seek request `buf` asks, to `*pos`: 0, or -1 when
// the move fails, with the file where it was. Positions are 64 bits wide
// here, whatever the host's long, so that no move wraps; a position the
// reply cannot carry is no position for the target and counts as failed.
static int DrfpMove(FILE* fp, const char* buf, int64_t* pos)
{
    int64_t offset = (int32_t)GetLE32(buf + offsetof(DRFP_SEEKPACKET, offset));
    int whence;
    switch (GetLE32(buf + offsetof(DRFP_SEEKPACKET, base))) {
    case 1: whence = SEEK_CUR; break;
    case 2: whence = SEEK_END; break;
    default: whence = SEEK_SET; break;
    }
    int64_t before = FileStreamTell(fp);
    if (before < 0 || FileStreamSeek(fp, offset, whence) != 0)
        return -1;
    int64_t now = FileStreamTell(fp);
    if (now >= 0 && now <= DRFP_MAX_POS) {
        *pos = now;
        return 0;
    }
    FileStreamSeek(fp, before, SEEK_SET);
    return -1;
}

static void DrfpSeek(const char* buf, uint16_t length)
{
    DRFP_SEEKRPACKET* r = (DRFP_SEEKRPACKET*)DrfpNewReply(buf, sizeof(DRFP_SEEKRPACKET),
                                                          sizeof(DRFP_SEEKRPACKET),
                                                          DRFP_CODE_SEEKR, DRFP_SEEK_REPLY_LOST);
    if (r == NULL)
        return;

    uint32_t result = DRFP_RESULT_FAILED;
    int64_t pos = 0;
    DRFP_FILE* f = DrfpFileOf(buf, length, sizeof(DRFP_SEEKPACKET));
    if (f != NULL && DrfpMove(f->fp, buf, &pos) == 0)
        result = DRFP_RESULT_OK;

    PutLE32(&r->result, result);
    PutLE32(&r->pos, (uint32_t)pos);
    DrfpQueue(r, DRFP_SEEK_REPLY_LOST);
}

static void DrfpRead(const char* buf, uint16_t length)
{
    DRFP_FILE* f = DrfpFileOf(buf, length, sizeof(DRFP_READPACKET));
    uint32_t n = 0;
    if (f != NULL) {
        n = GetLE32(buf + offsetof(DRFP_READPACKET, numberofbytes));
        if (n > DRFP_MAX_READ)
            n = DRFP_MAX_READ;
    }

    unsigned char* pkt = DrfpNewReply(buf, sizeof(DRFP_READRPACKET) + n, sizeof(DRFP_READRPACKET),
                                      DRFP_CODE_READR, DRFP_REPLY_LOST);
    if (pkt == NULL)
        return;
    DRFP_READRPACKET* r = (DRFP_READRPACKET*)pkt;

    uint32_t result = DRFP_RESULT_READ_ERROR;
    size_t k = 0;
    if (f != NULL) {
        k = n > 0 ? fread(pkt + sizeof(DRFP_READRPACKET), 1, n, f->fp) : 0;
        // A short read at the end of the file is no error; the error
        // indicator stays set on the file, so later reads fail too.
        result = ferror(f->fp) ? DRFP_RESULT_READ_ERROR : DRFP_RESULT_OK;
    }

    // Only the bytes actually read go out.
    MakeDeci2Hdr(&r->deci2, (uint16_t)(sizeof(DRFP_READRPACKET) + k), PROTO_DRFP,
                 NODE_HOST, NODE_IOP);
    PutLE32(&r->result, result);
    PutLE32(&r->numberofbytes, (uint32_t)k);
    DrfpQueue(pkt, DRFP_REPLY_LOST);
}

static void DrfpClose(const char* buf, uint16_t length)
{
    DRFP_CLOSERPACKET* r = (DRFP_CLOSERPACKET*)DrfpNewReply(
        buf, sizeof(DRFP_CLOSERPACKET), sizeof(DRFP_CLOSERPACKET), DRFP_CODE_CLOSER, DRFP_REPLY_LOST);
    if (r == NULL)
        return;

    DRFP_FILE* f = DrfpFileOf(buf, length, sizeof(DRFP_CLOSEPACKET));
    uint32_t result = DRFP_RESULT_FAILED;
    if (f != NULL && DrfpRelease(f) == 0)
        result = DRFP_RESULT_OK;

    PutLE32(&r->result, result);
    DrfpQueue(r, DRFP_REPLY_LOST);
}

void DrfpCloseAll(void)
{
    for (int i = 0; i < DRFP_MAX_OPEN; i++) {
        if (drfpFiles[i].handle != 0)
            DrfpRelease(&drfpFiles[i]);
    }
    drfpNextHandle = 1;
}

int DrfpHandler(char* buf, uint16_t length)
{
    if (buf == NULL || length < sizeof(uint32_t)) {
        DBG_PRINTF0(DRFP_UNKNOWN);
        return 1;
    }
    uint32_t code = GetLE32(buf + offsetof(DRFP_HDR, code));
    if (code == DRFP_CODE_IGNORED)
        return 1;
    // A request without its sequence number cannot be answered: the target
    // could not tell which request a reply belongs to.
    if (length < sizeof(DRFP_HDR)) {
        DBG_PRINTF0(DRFP_UNKNOWN);
        return 1;
    }

    switch (code) {
    case DRFP_CODE_OPEN: DrfpOpen(buf, length); break;
    case DRFP_CODE_CLOSE: DrfpClose(buf, length); break;
    case DRFP_CODE_READ: DrfpRead(buf, length); break;
    case DRFP_CODE_SEEK: DrfpSeek(buf, length); break;
    default: DBG_PRINTF0(DRFP_UNKNOWN); break;
    }
    // A file request never fails the transport's wait.
    return 1;
}
