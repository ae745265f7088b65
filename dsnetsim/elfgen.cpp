// Writes small MIPS executables for tests and benchmarks: a file header,
// one program header per segment, the segments' bytes, a register
// information section carrying gp and a section-name table.
#include <stdio.h>
#include <string.h>

#include "dsnetsim.h"
#include "simwire.h"

static void Put(std::vector<uint8_t>& v, size_t at, uint32_t x, int width)
{
    if (width == 2)
        SimPut16(&v[at], (uint16_t)x);
    else
        SimPut32(&v[at], x);
}

static size_t Align16(size_t n) { return (n + 15) & ~(size_t)15; }

// Where each part of the file goes.
struct ElfLayout {
    size_t phoff = 0;
    std::vector<size_t> segOff;
    size_t reginfoOff = 0, strOff = 0, shoff = 0, total = 0;
};

static const size_t kEhsize = 52, kPhentsize = 32, kShentsize = 40;
static const char kNames[] = "\0.reginfo\0.shstrtab";

static ElfLayout Lay(const std::vector<SimSegment>& segs)
{
    ElfLayout l;
    l.phoff = kEhsize;
    size_t off = Align16(l.phoff + kPhentsize * segs.size());
    for (const SimSegment& s : segs) {
        l.segOff.push_back(off);
        off = Align16(off + s.data.size());
    }
    l.reginfoOff = off;
    off += 24;
    l.strOff = off;
    off = Align16(off + sizeof kNames);
    l.shoff = off;
    l.total = l.shoff + 3 * kShentsize;
    return l;
}

// The file header and one program header per segment.
static std::vector<uint8_t> Head(const ElfLayout& l, uint32_t entry,
                                 const std::vector<SimSegment>& segs)
{
    std::vector<uint8_t> head(l.phoff + kPhentsize * segs.size(), 0);
    head[0] = 0x7f;
    head[1] = 'E';
    head[2] = 'L';
    head[3] = 'F';
    head[4] = 1;  // 32-bit
    head[5] = 1;  // little-endian
    head[6] = 1;  // version
    Put(head, 16, 2, 2);             // executable
    Put(head, 18, 8, 2);             // MIPS
    Put(head, 20, 1, 4);             // version
    Put(head, 24, entry, 4);
    Put(head, 28, (uint32_t)l.phoff, 4);
    Put(head, 32, (uint32_t)l.shoff, 4);
    Put(head, 40, (uint32_t)kEhsize, 2);
    Put(head, 42, (uint32_t)kPhentsize, 2);
    Put(head, 44, (uint32_t)segs.size(), 2);
    Put(head, 46, (uint32_t)kShentsize, 2);
    Put(head, 48, 3, 2);             // section headers
    Put(head, 50, 2, 2);             // names in section 2
    for (size_t i = 0; i < segs.size(); i++) {
        size_t p = l.phoff + i * kPhentsize;
        uint32_t filesz = (uint32_t)segs[i].data.size();
        Put(head, p + 0, 1, 4);  // loadable
        Put(head, p + 4, (uint32_t)l.segOff[i], 4);
        Put(head, p + 8, segs[i].vaddr, 4);
        Put(head, p + 12, segs[i].vaddr, 4);
        Put(head, p + 16, filesz, 4);
        Put(head, p + 20, segs[i].memsz ? segs[i].memsz : filesz, 4);
        Put(head, p + 24, 7, 4);
        Put(head, p + 28, 16, 4);
    }
    return head;
}

// Everything after the segments: the register information, the names and
// the section headers.
static std::vector<uint8_t> Tail(const ElfLayout& l, uint32_t gp)
{
    std::vector<uint8_t> tail(l.total - l.reginfoOff, 0);
    Put(tail, 20, gp, 4);  // ri_gp_value
    memcpy(&tail[l.strOff - l.reginfoOff], kNames, sizeof kNames);
    size_t sh = l.shoff - l.reginfoOff;
    // Section 1: register information.
    Put(tail, sh + 40 + 0, 1, 4);
    Put(tail, sh + 40 + 4, 0x70000006, 4);
    Put(tail, sh + 40 + 16, (uint32_t)l.reginfoOff, 4);
    Put(tail, sh + 40 + 20, 24, 4);
    Put(tail, sh + 40 + 32, 4, 4);
    Put(tail, sh + 40 + 36, 24, 4);
    // Section 2: the names.
    Put(tail, sh + 80 + 0, 10, 4);
    Put(tail, sh + 80 + 4, 3, 4);
    Put(tail, sh + 80 + 16, (uint32_t)l.strOff, 4);
    Put(tail, sh + 80 + 20, sizeof kNames, 4);
    Put(tail, sh + 80 + 32, 1, 4);
    return tail;
}

bool SimWriteElf(const char* path, uint32_t entry, uint32_t gp,
                 const std::vector<SimSegment>& segs)
{
    // The header and tables are built in memory; segment bytes are written
    // straight from the caller's buffers so large images are not copied.
    ElfLayout l = Lay(segs);
    std::vector<uint8_t> head = Head(l, entry, segs);
    std::vector<uint8_t> tail = Tail(l, gp);
    FILE* f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    size_t at = head.size();
    static const uint8_t zeros[16] = {0};
    for (size_t i = 0; ok && i < segs.size(); i++) {
        ok = fwrite(zeros, 1, l.segOff[i] - at, f) == l.segOff[i] - at;
        if (ok && !segs[i].data.empty())
            ok = fwrite(segs[i].data.data(), 1, segs[i].data.size(), f) == segs[i].data.size();
        at = l.segOff[i] + segs[i].data.size();
    }
    if (ok)
        ok = fwrite(zeros, 1, l.reginfoOff - at, f) == l.reginfoOff - at;
    if (ok)
        ok = fwrite(tail.data(), 1, tail.size(), f) == tail.size();
    return fclose(f) == 0 && ok;
}
