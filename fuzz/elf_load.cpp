// Any file bytes as the EE program: the reader's calls in the loader's
// order, the segment cutting against a fixed target configuration and the
// gp lookup, all through the real loader with the target's side played here.
//
// Besides the sanitizers, every memory write the loader sends is checked
// against the file: segments are written whole, in order, contiguously,
// with the file's own bytes, and every bulk write is aligned as its code
// says. The run request must carry the file's entry point and gp.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "dbgp.h"
#include "dbgp_internal.h"
#include "deci2.h"
#include "elf.h"
#include "main.h"

static int fileFd = -1;
static char filePath[64];

// The file's bytes, the segments expected and how far the writes have got.
static const uint8_t* fileData;
static size_t fileSize;
typedef struct Segment {
    uint32_t vaddr, offset, size;
} Segment;
static Segment segs[65536];
static int nsegs;
static int segIndex;
static uint32_t segDone;
static uint32_t entryPoint;
static uint32_t expectedGp;
static int sawRun;

static void Fail(const char* what)
{
    fprintf(stderr, "elf_load: %s\n", what);
    abort();
}

// The target's side of each request: checks it, frees it, answers it.
static int FakeSend(void* buf, unsigned int socket)
{
    (void)socket;
    if (buf == NULL)
        return -1;
    const unsigned char* p = (const unsigned char*)buf;
    uint16_t len = GetLE16(p);
    // Reading the whole stated length lets the sanitizer see a packet that
    // claims more than was allocated for it.
    unsigned char copy[DECI2_MAX_PACKET];
    memcpy(copy, p, len);
    if (len < 8 + DBGP_HDR_SIZE || GetLE16(copy + 4) != PROTO_DBGP)
        Fail("malformed DBGP request");

    switch (copy[8 + DBGP_OFF_TYPE]) {
    case DBGP_TYPE_GETCONF:
        break;
    case DBGP_TYPE_WRMEM: {
        if (len < DBGP_WRMEM_NHDR)
            Fail("memory write shorter than its headers");
        const unsigned char* mem = copy + 8 + DBGP_HDR_SIZE;
        int k = mem[1];
        uint32_t adr = GetLE32(mem + 4);
        uint32_t n = GetLE32(mem + 8);
        uint32_t unit = 1u << k;
        if (k > DBGP_MAX_ALIGN || n == 0 || len < DBGP_WRMEM_NHDR + n)
            Fail("memory write with a bad count or code");
        uint32_t dataOff = len - n;
        if (k > 0 && ((adr & (unit - 1)) || (n & (unit - 1)) || (dataOff & (unit - 1))))
            Fail("bulk write not aligned to its unit");
        if (segIndex >= nsegs)
            Fail("memory write beyond the last segment");
        const Segment* s = &segs[segIndex];
        if ((uint64_t)s->offset + s->size > fileSize)
            Fail("segment written from outside the file");
        if (adr != s->vaddr + segDone || n > s->size - segDone)
            Fail("memory write out of order or past its segment");
        if (memcmp(copy + dataOff, fileData + s->offset + segDone, n) != 0)
            Fail("memory write carries other bytes than the file's");
        segDone += n;
        if (segDone == s->size) {
            segIndex++;
            segDone = 0;
        }
        break;
    }
    case DBGP_TYPE_RUN:
        if (segIndex != nsegs)
            Fail("run request before every segment was written");
        if (GetLE32(copy + 8 + DBGP_HDR_SIZE) != entryPoint)
            Fail("run request with another entry point");
        if (GetLE32(copy + 8 + DBGP_HDR_SIZE + 4) != expectedGp)
            Fail("run request with another gp");
        sawRun = 1;
        break;
    default:
        Fail("unexpected DBGP request");
    }
    free(buf);
    return 1;
}

// gp: the value in the first register-information section, 0 when that
// section is not exactly one record or lies outside the file.
static uint32_t ExpectGp(const uint8_t* data, size_t size)
{
    uint32_t shoff = GetLE32(data + 32);
    uint16_t shnum = GetLE16(data + 48);
    for (uint32_t i = 0; i < shnum; i++) {
        uint64_t at = (uint64_t)shoff + (uint64_t)i * ELF_SHDR_SIZE;
        if (at + ELF_SHDR_SIZE > size)
            return 0;
        const uint8_t* sh = data + at;
        if (GetLE32(sh + 4) != SHT_MIPS_REGINFO)
            continue;
        uint32_t off = GetLE32(sh + 16);
        if (GetLE32(sh + 20) != ELF_REGINFO_SIZE || (uint64_t)off + ELF_REGINFO_SIZE > size)
            return 0;
        return GetLE32(data + off + 20);
    }
    return 0;
}

// The segments the loader must write, read independently of it.
static void ExpectSegments(const uint8_t* data, size_t size)
{
    nsegs = 0;
    segIndex = 0;
    segDone = 0;
    entryPoint = 0;
    expectedGp = 0;
    if (size < ELF_EHDR_SIZE)
        return;
    expectedGp = ExpectGp(data, size);
    uint32_t phoff = GetLE32(data + 28);
    uint16_t phnum = GetLE16(data + 44);
    entryPoint = GetLE32(data + 24);
    for (uint32_t i = 0; i < phnum; i++) {
        uint64_t at = (uint64_t)phoff + (uint64_t)i * ELF_PHDR_SIZE;
        if (at + ELF_PHDR_SIZE > size)
            return;
        const uint8_t* ph = data + at;
        if (GetLE32(ph) != PT_LOAD || GetLE32(ph + 16) == 0)
            continue;
        segs[nsegs].offset = GetLE32(ph + 4);
        segs[nsegs].vaddr = GetLE32(ph + 8);
        segs[nsegs].size = GetLE32(ph + 16);
        nsegs++;
    }
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    (void)argc;
    (void)argv;
    // The loader's diagnostic lines are not what is tested.
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    // The file lives in memory; the loader opens it by name like any other.
    fileFd = memfd_create("elf_load", 0);
    if (fileFd < 0) {
        char tmpl[] = "/tmp/elf_load.XXXXXX";
        fileFd = mkstemp(tmpl);
        if (fileFd < 0)
            abort();
        unlink(tmpl);  // reached through the descriptor's name from here on
    }
    snprintf(filePath, sizeof filePath, "/proc/self/fd/%d", fileFd);

    // A target that takes bulk writes of up to 16-byte units, with a size
    // limit that is not a whole number of them, so every path of the
    // cutting is taken.
    unsigned char conf[DBGP_CONF_SIZE];
    memset(conf, 0, sizeof conf);
    PutLE32(conf + 16, 0x1f);           // mem_align: codes 0..4
    PutLE32(conf + 48, 1u << 4);        // mem_limit_align: code 4 is limited
    PutLE32(conf + 52, 4096 + 3);       // mem_limit_size: not whole units
    DbgpStoreConf(conf);
    DbgpSetSender(FakeSend);
    static char name[] = "hostlink";
    SetProgramName(name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(fileFd, 0) != 0 || pwrite(fileFd, data, size, 0) != (ssize_t)size)
        abort();

    fileData = data;
    fileSize = size;
    sawRun = 0;
    ExpectSegments(data, size);

    static char arg0[] = "-x";
    static char arg1[] = "argument";
    char* args[] = {arg0, arg1};
    int r = DbgpPload(filePath, 2, args, 0);
    if (r == 0 && (!sawRun || segIndex != nsegs))
        Fail("load reported done without writing every segment and the run request");
    if (r != 0 && sawRun)
        Fail("load reported failed after its run request was accepted");
    return 0;
}
