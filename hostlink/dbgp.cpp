// DBGP: puts the EE program into target memory and starts it.
//
// A load is a strict sequence of stop-and-wait requests to the EE: the
// debug configuration, the memory writes of every loadable segment, the run
// request. Replies come back through DbgpHandler inside the wait of
// SendAndWaitReply, which stays in service after the load to report a
// break of the running program.
#include "dbgp.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "dbgp_internal.h"
#include "deci2.h"
#include "diag.h"
#include "elf.h"
#include "link.h"
#include "progress.h"
#include "state.h"

// Texts in the system's own wording, kept letter for letter as they stand.
#define DBGP_GETCONF_FAILED "faild to send DBGP_TYPE_GETCONF packet"
#define DBGP_WRMEM_FAILED "faild to send DBGP_TYPE_WRMEM packet"
#define DBGP_RUN_FAILED "faild to send DBGP_TYPE_RUN packet"
#define DBGP_NO_PHDRS "There is no program headers"
#define DBGP_READ_ERROR "Error occured while reading file"
#define DBGP_BREAK "target program breaked by unknown reason"

// The EE program file while it is being loaded.
typedef struct DBGP_IMAGE {
    int fd;  // negative when not open
    Elf32_Ehdr ehdr;
    Elf32_Phdr* phdrTbl;  // heap tables, null until read
    Elf32_Shdr* shdrTbl;
} DBGP_IMAGE;

// The configuration of the last successful configuration reply, and the
// largest alignment code it allows (-1: none of 0..10).
static DBGP_CONF_DATA cf;
static int MaxMemAlign = 0;

static DbgpSendFn dbgpSend = SendAndWaitReply;

void DbgpSetSender(DbgpSendFn fn)
{
    dbgpSend = fn ? fn : SendAndWaitReply;
}

const DBGP_CONF_DATA* DbgpConf(void)
{
    return &cf;
}

int DbgpMaxMemAlign(void)
{
    return MaxMemAlign;
}

void DbgpStoreConf(const unsigned char* p)
{
    uint32_t w[DBGP_CONF_SIZE / 4];
    for (int i = 0; i < DBGP_CONF_SIZE / 4; i++)
        w[i] = GetLE32(p + 4 * i);
    // The record is nothing but 17 consecutive u32 fields.
    memcpy(&cf, w, sizeof cf);

    MaxMemAlign = -1;
    for (int k = DBGP_MAX_ALIGN; k >= 0; k--) {
        if (cf.mem_align & (1u << k)) {
            MaxMemAlign = k;
            break;
        }
    }
}

// Fills the DECI2 and DBGP headers of a request of `len` bytes.
static void DbgpFillHdr(unsigned char* pkt, uint16_t len, uint8_t type, uint8_t count)
{
    MakeDeci2Hdr((DECI2_HDR*)pkt, len, PROTO_DBGP, NODE_HOST, NODE_EE);
    memset(pkt + 8, 0, DBGP_HDR_SIZE);
    pkt[8 + DBGP_OFF_TYPE] = type;
    pkt[8 + DBGP_OFF_COUNT] = count;
}

void* DbgpMakeGetconf(void)
{
    unsigned char* pkt = (unsigned char*)calloc(1, DBGP_GETCONF_PKT_SIZE);
    if (!pkt)
        return NULL;
    DbgpFillHdr(pkt, DBGP_GETCONF_PKT_SIZE, DBGP_TYPE_GETCONF, 0);
    return pkt;
}

static const char* DbgpProgName(void)
{
    const char* name = ProgramName();
    return name ? name : "";
}

// Total length of the run request's strings, terminators and program name
// included. Counted in 64 bits, so no argument vector can make it wrap; a
// total past INT_MAX is far too long for a packet either way.
int CalcArgvLen(int argc, char** argv)
{
    uint64_t s = strlen(DbgpProgName()) + 1;
    if (argv) {
        for (int i = 0; i < argc; i++)
            s += strlen(argv[i]) + 1;
    }
    return s > INT_MAX ? INT_MAX : (int)s;
}

// The whole run request's length; more than 65535 cannot be described by
// a DECI2 header.
static uint64_t DbgpRunSize(int argc, char** argv)
{
    uint64_t nargs = (argv && argc > 0 ? (uint64_t)argc : 0) + 1;
    return DBGP_RUN_FIXED + 4 * nargs + (uint64_t)CalcArgvLen(argc, argv);
}

void* DbgpMakeRun(uint32_t entry, uint32_t gp, int argc, char** argv)
{
    // Without a vector there are no arguments to count, whatever argc says.
    if (!argv || argc < 0)
        argc = 0;
    uint64_t total = DbgpRunSize(argc, argv);
    if (total > DECI2_MAX_PACKET)
        return NULL;
    uint32_t numargs = (uint32_t)argc + 1;

    unsigned char* pkt = (unsigned char*)calloc(1, (size_t)total);
    if (!pkt)
        return NULL;
    DbgpFillHdr(pkt, (uint16_t)total, DBGP_TYPE_RUN, 1);
    unsigned char* run = pkt + 8 + DBGP_HDR_SIZE;
    PutLE32(run + 0, entry);
    PutLE32(run + 4, gp);
    PutLE32(run + 8, 0);
    PutLE32(run + 12, 0);
    PutLE32(run + 16, numargs);

    // One length word per string (not an address), then the strings back to
    // back with their terminators; string 0 is this program's own name.
    unsigned char* words = pkt + DBGP_RUN_FIXED;
    unsigned char* str = words + 4 * (size_t)numargs;
    for (uint32_t i = 0; i < numargs; i++) {
        const char* s = i == 0 ? DbgpProgName() : argv[i - 1];
        size_t n = strlen(s) + 1;
        PutLE32(words + 4 * (size_t)i, (uint32_t)n);
        memcpy(str, s, n);
        str += n;
    }
    return pkt;
}

int DbgpWrMemCap(int k, int* npad)
{
    int64_t asize = (int64_t)1 << k;
    int64_t amask = asize - 1;
    int64_t pad = ((DBGP_WRMEM_NHDR + amask) & ~amask) - DBGP_WRMEM_NHDR;
    // The whole packet must fit the 16-bit DECI2 length.
    int64_t cap = (DECI2_MAX_PACKET - DBGP_WRMEM_NHDR - pad) & ~amask;

    if ((cf.v1.mem_limit_align & (1u << k)) &&
        DBGP_WRMEM_NHDR + pad + cap > (int64_t)cf.v1.mem_limit_size) {
        cap = (int64_t)cf.v1.mem_limit_size - DBGP_WRMEM_NHDR - pad;
        // A limit that is not a whole number of units would put a partial
        // unit into a bulk write: keep whole units only.
        if (cap > 0)
            cap &= ~amask;
        else
            cap = 0;
    }
    if (npad)
        *npad = (int)pad;
    return (int)cap;
}

// A write of code `k` that the target's size limit leaves no room for:
// why, and -1.
static int DbgpNoRoom(int k)
{
    int npad = 0;
    DbgpWrMemCap(k, &npad);
    int64_t room = (int64_t)cf.v1.mem_limit_size - DBGP_WRMEM_NHDR - npad;
    DBG_LINE(room > 0 ? "DBGP memory-write size limit is smaller than one unit"
                      : "DBGP memory-write size limit leaves no room for data");
    return -1;
}

// Takes the next `n` bytes of the source into `dst`: 0, or -1 after the
// reason when the file gives fewer.
static int DbgpTake(DBGP_SOURCE* src, unsigned char* dst, int n)
{
    if (src->mem != NULL) {
        memcpy(dst, src->mem, (size_t)n);
        src->mem += n;
        return 0;
    }
    if (!ElfReadNext(src->fd, dst, (uint32_t)n)) {
        DBG_LINE(DBGP_READ_ERROR);
        return -1;
    }
    return 0;
}

int DbgpWrMemFrom(uint8_t align, uint32_t adr, DBGP_SOURCE* src, int len, unsigned int socket)
{
    if (len <= 0)
        return 0;

    // Code 0 (single bytes) is always accepted; otherwise fall back to the
    // largest code below that the target lists.
    int k = align > DBGP_MAX_ALIGN ? DBGP_MAX_ALIGN : align;
    while (k > 0 && !(cf.mem_align & (1u << k)))
        k--;

    int npad = 0;
    int cap = DbgpWrMemCap(k, &npad);
    if (cap <= 0)
        return DbgpNoRoom(k);

    while (len > 0) {
        int n = len < cap ? len : cap;
        size_t total = (size_t)DBGP_WRMEM_NHDR + (size_t)npad + (size_t)n;
        // Only the headers and the padding need clearing: the data fills
        // the rest, and a load is mostly these packets.
        unsigned char* pkt = (unsigned char*)malloc(total);
        if (!pkt)
            return -1;
        memset(pkt, 0, (size_t)DBGP_WRMEM_NHDR + (size_t)npad);
        DbgpFillHdr(pkt, (uint16_t)total, DBGP_TYPE_WRMEM, 1);
        unsigned char* mem = pkt + 8 + DBGP_HDR_SIZE;
        mem[0] = 0;  // space
        mem[1] = (unsigned char)k;
        PutLE16(mem + 2, 0);
        PutLE32(mem + 4, adr);
        PutLE32(mem + 8, (uint32_t)n);
        // The padding puts the data at a packet offset that is a whole
        // number of units.
        if (DbgpTake(src, pkt + DBGP_WRMEM_NHDR + npad, n) < 0) {
            free(pkt);
            return -1;
        }

        if (dbgpSend(pkt, socket) < 0) {
            DBG_LINE(DBGP_WRMEM_FAILED);
            return -1;
        }
        ProgressAdvance((uint64_t)n);
        adr += (uint32_t)n;
        len -= n;
    }
    return 0;
}

int DbgpWrMem(uint8_t align, uint32_t adr, const unsigned char* ptr, int len, unsigned int socket)
{
    DBGP_SOURCE src = {ptr, -1};
    return DbgpWrMemFrom(align, adr, &src, len, socket);
}

int DbgpDownLoadFrom(uint32_t adr, DBGP_SOURCE* src, int len, unsigned int socket)
{
    if (len <= 0)
        return 0;
    // No usable code: the whole segment goes out in single bytes.
    if (MaxMemAlign <= 0)
        return DbgpWrMemFrom(0, adr, src, len, socket);

    int k = MaxMemAlign;
    uint32_t asize = 1u << k;
    uint32_t amask = asize - 1;

    // Head: single bytes up to the first unit boundary.
    uint32_t off = adr & amask;
    if (off > 0) {
        int n = (int)(asize - off);
        if (len < n)
            n = len;
        if (DbgpWrMemFrom(0, adr, src, n, socket) < 0)
            return -1;
        adr += (uint32_t)n;
        len -= n;
    }
    // Middle: whole units in bulk.
    int n = (int)((uint32_t)len & ~amask);
    if (n > 0) {
        if (DbgpWrMemFrom((uint8_t)k, adr, src, n, socket) < 0)
            return -1;
        adr += (uint32_t)n;
        len -= n;
    }
    // Tail: the bytes after the last whole unit.
    if (len > 0 && DbgpWrMemFrom(0, adr, src, len, socket) < 0)
        return -1;
    return 0;
}

int DbgpDownLoad(uint32_t adr, const unsigned char* ptr, int len, unsigned int socket)
{
    DBGP_SOURCE src = {ptr, -1};
    return DbgpDownLoadFrom(adr, &src, len, socket);
}

// gp from the first register-information section; 0 when the file has
// none or it does not have the record's size.
static uint32_t DbgpFindGp(int fd, const Elf32_Ehdr* ehdr, const Elf32_Shdr* shdrTbl)
{
    for (int i = 0; i < ehdr->e_shnum; i++) {
        if (shdrTbl[i].sh_type != SHT_MIPS_REGINFO)
            continue;
        if (shdrTbl[i].sh_size != ELF_REGINFO_SIZE)
            return 0;
        unsigned char* ri = (unsigned char*)ElfReadSectionData(fd, shdrTbl[i].sh_offset,
                                                               shdrTbl[i].sh_size);
        if (!ri)
            return 0;
        uint32_t gp = GetLE32(ri + offsetof(Elf32_RegInfo, ri_gp_value));
        free(ri);
        return gp;
    }
    return 0;
}

// Opens the program file and reads what the load needs first: the header,
// checked, and the program headers. 0, or -1 after the reason.
static int DbgpOpenImage(const char* filename, DBGP_IMAGE* im)
{
    im->fd = ElfOpen(filename);
    if (im->fd < 0) {
        DBG_LINE("Cannot open file");
        return -1;
    }
    if (!ElfGetEhdr(im->fd, &im->ehdr)) {
        DBG_LINE("Cannot read ELF header");
        return -1;
    }
    if (ElfIsForEE(&im->ehdr) != 0) {
        DBG_LINE("File is not for EE architecture");
        return -1;
    }
    im->phdrTbl = ElfGetPhdrTbl(im->fd, &im->ehdr);
    if (!im->phdrTbl) {
        DBG_LINE(DBGP_NO_PHDRS);
        return -1;
    }
    return 0;
}

static void DbgpCloseImage(DBGP_IMAGE* im)
{
    ElfClose(im->fd);
    free(im->phdrTbl);
    free(im->shdrTbl);
}

// A run request longer than a packet can describe, said so: -1; else 0.
static int DbgpCheckRunSize(int argc, char** argv)
{
    if (DbgpRunSize(argc, argv) <= DECI2_MAX_PACKET)
        return 0;
    DBG_LINE("program arguments too long for DBGP_TYPE_RUN packet");
    return -1;
}

int DbgpCheckProgram(const char* filename, int argc, char** argv)
{
    DBGP_IMAGE im = {-1, {}, NULL, NULL};
    int ret = DbgpOpenImage(filename, &im);
    DbgpCloseImage(&im);
    if (!argv || argc < 0)
        argc = 0;
    return ret == 0 ? DbgpCheckRunSize(argc, argv) : ret;
}

// A segment with a file image to write.
static int DbgpLoadable(const Elf32_Phdr* ph)
{
    return ph->p_type == PT_LOAD && ph->p_filesz != 0;
}

// The target's size limit must leave room for every kind of write the
// segments need (single bytes for the ends that are not whole units, the
// bulk code for the rest), or the load would stop partway: then nothing is
// written. 0, or -1 after the reason.
static int DbgpCheckRoom(const DBGP_IMAGE* im)
{
    int k = MaxMemAlign > 0 ? MaxMemAlign : 0;
    uint32_t amask = (1u << k) - 1;
    int needSingle = 0, needBulk = 0;
    for (int i = 0; i < im->ehdr.e_phnum; i++) {
        const Elf32_Phdr* ph = &im->phdrTbl[i];
        if (!DbgpLoadable(ph))
            continue;
        uint32_t head = (ph->p_vaddr & amask) ? amask + 1 - (ph->p_vaddr & amask) : 0;
        if (head > ph->p_filesz)
            head = ph->p_filesz;
        uint32_t rest = ph->p_filesz - head;
        needSingle |= k == 0 || head > 0 || (rest & amask) != 0;
        needBulk |= k > 0 && (rest & ~amask) != 0;
    }
    if (needSingle && DbgpWrMemCap(0, NULL) <= 0)
        return DbgpNoRoom(0);
    if (needBulk && DbgpWrMemCap(k, NULL) <= 0)
        return DbgpNoRoom(k);
    return 0;
}

// One segment's file image, read from the file piece by piece straight
// into the packets, so a load needs no more memory than one packet
// whatever the segment's size; the rest of its memory image is the
// program's own business. A segment that does not lie inside the file, or
// whose addresses would run past the top of memory and on at 0, is refused
// before any of it is written. 0, or -1 after the reason.
static int DbgpLoadSegment(const Elf32_Phdr* ph, int fd, unsigned int socket)
{
    DBG_PRINTF("%s(%d): Loading program (address=0x%08x size=0x%08x) ...\n",
               (unsigned)ph->p_vaddr, (unsigned)ph->p_filesz);
    if ((uint64_t)ph->p_vaddr + ph->p_filesz > ((uint64_t)1 << 32) ||
        !ElfSeekRange(fd, ph->p_offset, ph->p_filesz)) {
        DBG_LINE(DBGP_READ_ERROR);
        return -1;
    }
    DBGP_SOURCE src = {NULL, fd};
    return DbgpDownLoadFrom(ph->p_vaddr, &src, (int)ph->p_filesz, socket);
}

// Writes every loadable segment, in table order, with the progress line
// shown meanwhile. 0, or -1 after the reason.
static int DbgpLoadSegments(const DBGP_IMAGE* im, unsigned int socket)
{
    if (DbgpCheckRoom(im) < 0)
        return -1;
    uint64_t total = 0;
    for (int i = 0; i < im->ehdr.e_phnum; i++)
        total += DbgpLoadable(&im->phdrTbl[i]) ? im->phdrTbl[i].p_filesz : 0;
    ProgressStart(total);
    int r = 0;
    for (int i = 0; i < im->ehdr.e_phnum && r == 0; i++) {
        if (DbgpLoadable(&im->phdrTbl[i]))
            r = DbgpLoadSegment(&im->phdrTbl[i], im->fd, socket);
    }
    ProgressEnd();
    return r;
}

// Starts the loaded program at its entry point with its gp value and the
// arguments. 0 once the target has accepted; -1 after the reason.
static int DbgpStart(DBGP_IMAGE* im, int argc, char** argv, unsigned int socket)
{
    im->shdrTbl = ElfGetShdrTbl(im->fd, &im->ehdr);
    if (!im->shdrTbl) {
        DBG_LINE("cannot read section headers");
        return -1;
    }
    uint32_t gp = DbgpFindGp(im->fd, &im->ehdr, im->shdrTbl);
    if (dbgpSend(DbgpMakeRun(im->ehdr.e_entry, gp, argc, argv), socket) < 0) {
        DBG_LINE(DBGP_RUN_FAILED);
        return -1;
    }
    return 0;
}

int DbgpPload(char* filename, int argc, char** argv, unsigned int socket)
{
    DBGP_IMAGE im = {-1, {}, NULL, NULL};
    int ret = -1;

    if (!argv || argc < 0)
        argc = 0;
    // Refused before anything reaches the target: a load that could not be
    // started would leave target memory half written for nothing.
    if (DbgpCheckRunSize(argc, argv) < 0)
        return -1;
    if (dbgpSend(DbgpMakeGetconf(), socket) < 0) {
        DBG_LINE(DBGP_GETCONF_FAILED);
        return -1;
    }
    if (DbgpOpenImage(filename, &im) == 0 && DbgpLoadSegments(&im, socket) == 0 &&
        DbgpStart(&im, argc, argv, socket) == 0)
        ret = 0;
    DbgpCloseImage(&im);
    return ret;
}

int DbgpHandler(char* buf, uint16_t length)
{
    const unsigned char* b = (const unsigned char*)buf;
    const char* failure;

    if (!b || length < DBGP_HDR_SIZE) {
        DBG_LINE("short dbgp packet received.");
        return -1;
    }
    uint8_t type = b[DBGP_OFF_TYPE];
    uint8_t code = b[DBGP_OFF_CODE];
    uint8_t result = b[DBGP_OFF_RESULT];

    switch (type) {
    case DBGP_TYPE_GETCONFR: failure = "cannot get DBGP configuration data"; break;
    case DBGP_TYPE_WRMEMR: failure = "DBGP_TYPE_WRMEM failed"; break;
    case DBGP_TYPE_RUNR: failure = "DBGP_TYPE_RUN failed"; break;
    case DBGP_TYPE_BREAKR:
        DBG_PRINTF("%s(%d): break code 0x%x  result 0x%x\n", (unsigned)code, (unsigned)result);
        DBG_LINE(DBGP_BREAK);
        return -1;
    default:
        DBG_LINE("unknown dbgp packet received.");
        return 1;
    }
    // A configuration reply cut short carries no configuration to take.
    if (result != 0 ||
        (type == DBGP_TYPE_GETCONFR && length < DBGP_HDR_SIZE + DBGP_CONF_SIZE)) {
        DBG_LINE(failure);
        return -1;
    }
    if (type == DBGP_TYPE_GETCONFR)
        DbgpStoreConf(b + DBGP_HDR_SIZE);
    // Replies are not matched by type or id: only one DBGP request is ever
    // outstanding.
    MarkHeadReplied();
    return 1;
}
