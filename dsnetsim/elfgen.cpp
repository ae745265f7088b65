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

bool SimWriteElf(const char* path, uint32_t entry, uint32_t gp,
                 const std::vector<SimSegment>& segs)
{
    const size_t ehsize = 52, phentsize = 32, shentsize = 40;
    size_t phoff = ehsize;
    size_t off = Align16(phoff + phentsize * segs.size());
    std::vector<size_t> segOff;
    for (const SimSegment& s : segs) {
        segOff.push_back(off);
        off = Align16(off + s.data.size());
    }
    size_t reginfoOff = off;
    off += 24;
    static const char names[] = "\0.reginfo\0.shstrtab";
    size_t strOff = off;
    off = Align16(off + sizeof names);
    size_t shoff = off;
    size_t total = shoff + 3 * shentsize;

    // The header and tables are built in memory; segment bytes are written
    // straight from the caller's buffers so large images are not copied.
    std::vector<uint8_t> head(phoff + phentsize * segs.size(), 0);
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
    Put(head, 28, (uint32_t)phoff, 4);
    Put(head, 32, (uint32_t)shoff, 4);
    Put(head, 40, (uint32_t)ehsize, 2);
    Put(head, 42, (uint32_t)phentsize, 2);
    Put(head, 44, (uint32_t)segs.size(), 2);
    Put(head, 46, (uint32_t)shentsize, 2);
    Put(head, 48, 3, 2);             // section headers
    Put(head, 50, 2, 2);             // names in section 2
    for (size_t i = 0; i < segs.size(); i++) {
        size_t p = phoff + i * phentsize;
        uint32_t filesz = (uint32_t)segs[i].data.size();
        Put(head, p + 0, 1, 4);  // loadable
        Put(head, p + 4, (uint32_t)segOff[i], 4);
        Put(head, p + 8, segs[i].vaddr, 4);
        Put(head, p + 12, segs[i].vaddr, 4);
        Put(head, p + 16, filesz, 4);
        Put(head, p + 20, segs[i].memsz ? segs[i].memsz : filesz, 4);
        Put(head, p + 24, 7, 4);
        Put(head, p + 28, 16, 4);
    }

    std::vector<uint8_t> tail(total - reginfoOff, 0);
    Put(tail, 20, gp, 4);  // ri_gp_value
    memcpy(&tail[strOff - reginfoOff], names, sizeof names);
    size_t sh = shoff - reginfoOff;
    // Section 1: register information.
    Put(tail, sh + 40 + 0, 1, 4);
    Put(tail, sh + 40 + 4, 0x70000006, 4);
    Put(tail, sh + 40 + 16, (uint32_t)reginfoOff, 4);
    Put(tail, sh + 40 + 20, 24, 4);
    Put(tail, sh + 40 + 32, 4, 4);
    Put(tail, sh + 40 + 36, 24, 4);
    // Section 2: the names.
    Put(tail, sh + 80 + 0, 10, 4);
    Put(tail, sh + 80 + 4, 3, 4);
    Put(tail, sh + 80 + 16, (uint32_t)strOff, 4);
    Put(tail, sh + 80 + 20, sizeof names, 4);
    Put(tail, sh + 80 + 32, 1, 4);

    FILE* f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    size_t at = head.size();
    static const uint8_t zeros[16] = {0};
    for (size_t i = 0; ok && i < segs.size(); i++) {
        ok = fwrite(zeros, 1, segOff[i] - at, f) == segOff[i] - at;
        if (ok && !segs[i].data.empty())
            ok = fwrite(segs[i].data.data(), 1, segs[i].data.size(), f) == segs[i].data.size();
        at = segOff[i] + segs[i].data.size();
    }
    if (ok)
        ok = fwrite(zeros, 1, reginfoOff - at, f) == reginfoOff - at;
    if (ok)
        ok = fwrite(tail.data(), 1, tail.size(), f) == tail.size();
    return fclose(f) == 0 && ok;
}
