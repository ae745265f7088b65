// Reading the EE program file. Nothing in the file is trusted: every table
// and range is checked against the file's real size before anything is
// allocated for it, so a damaged or hostile file gives a failure result,
// never a huge allocation or a read past what was allocated.
#include "elf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "deci2.h"
#include "platform.h"

// Largest count asked of one read call, whose result is an int.
#define ELF_READ_CHUNK 0x10000000u

static int ElfSeekTo(int fd, uint64_t off)
{
    return FileSeek(fd, (int64_t)off, SEEK_SET) == (int64_t)off ? 0 : -1;
}

// Reads until `len` bytes have arrived, the file ends or an error occurs;
// the number of bytes read. One read call may legitimately return fewer
// bytes than asked without being at the end.
static size_t ElfReadFull(int fd, void* buf, size_t len)
{
    unsigned char* p = (unsigned char*)buf;
    size_t got = 0;
    while (got < len) {
        size_t want = len - got;
        if (want > ELF_READ_CHUNK)
            want = ELF_READ_CHUNK;
        int r = FileRead(fd, p + got, (unsigned int)want);
        if (r <= 0)
            break;
        got += (size_t)r;
    }
    return got;
}

// True when [off, off + len) lies inside the file. Computed in 64 bits so
// that no 32-bit offset and size from the file can wrap around.
static int ElfRangeInFile(int fd, uint64_t off, uint64_t len)
{
    int64_t size = FileSeek(fd, 0, SEEK_END);
    if (size < 0)
        return 0;
    return off <= (uint64_t)size && len <= (uint64_t)size - off;
}

// Reads `len` bytes at `off` into a new heap block (at least 1 byte, so an
// empty table still gives a non-null block) and rewinds the file.
static unsigned char* ElfReadRange(int fd, uint64_t off, uint64_t len)
{
    // An empty table has no place in the file to check.
    if (len == 0) {
        if (ElfSeekTo(fd, 0) < 0)
            return NULL;
        return (unsigned char*)malloc(1);
    }
    if (len > ELF_MAX_RANGE || !ElfRangeInFile(fd, off, len))
        return NULL;
    unsigned char* buf = (unsigned char*)malloc(len ? (size_t)len : 1);
    if (!buf)
        return NULL;
    if (ElfSeekTo(fd, off) < 0 || ElfReadFull(fd, buf, (size_t)len) != (size_t)len ||
        ElfSeekTo(fd, 0) < 0) {
        free(buf);
        return NULL;
    }
    return buf;
}

int ElfOpen(const char* fname)
{
    static const unsigned char magic[4] = {0x7f, 'E', 'L', 'F'};
    unsigned char id[4];

    if (!fname)
        return ELF_OPEN_FAILED;
    int fd = FileOpenRead(fname);
    if (fd < 0)
        return ELF_OPEN_FAILED;
    if (ElfReadFull(fd, id, sizeof id) != sizeof id) {
        ElfClose(fd);
        return ELF_TOO_SHORT;
    }
    if (memcmp(id, magic, sizeof magic) != 0 || ElfSeekTo(fd, 0) < 0) {
        ElfClose(fd);
        return ELF_BAD_MAGIC;
    }
    return fd;
}

void ElfClose(int fd)
{
    if (fd < 0)
        return;
    FileClose(fd);
}

int ElfGetEhdr(int fd, Elf32_Ehdr* ehdr)
{
    unsigned char b[ELF_EHDR_SIZE];

    if (!ehdr || ElfSeekTo(fd, 0) < 0 || ElfReadFull(fd, b, sizeof b) != sizeof b)
        return 0;
    memcpy(ehdr->e_ident, b, EI_NIDENT);
    ehdr->e_type = GetLE16(b + 16);
    ehdr->e_machine = GetLE16(b + 18);
    ehdr->e_version = GetLE32(b + 20);
    ehdr->e_entry = GetLE32(b + 24);
    ehdr->e_phoff = GetLE32(b + 28);
    ehdr->e_shoff = GetLE32(b + 32);
    ehdr->e_flags = GetLE32(b + 36);
    ehdr->e_ehsize = GetLE16(b + 40);
    ehdr->e_phentsize = GetLE16(b + 42);
    ehdr->e_phnum = GetLE16(b + 44);
    ehdr->e_shentsize = GetLE16(b + 46);
    ehdr->e_shnum = GetLE16(b + 48);
    ehdr->e_shstrndx = GetLE16(b + 50);
    if (ElfSeekTo(fd, 0) < 0)
        return 0;
    return 1;
}

int ElfIsForEE(const Elf32_Ehdr* ehdr)
{
    if (ehdr->e_ident[EI_CLASS] != ELFCLASS32)
        return 1;
    if (ehdr->e_ident[EI_DATA] != ELFDATA2LSB)
        return 2;
    if (ehdr->e_type != ET_EXEC)
        return 3;
    if (ehdr->e_machine != EM_MIPS)
        return 4;
    if (ehdr->e_ehsize != ELF_EHDR_SIZE)
        return 5;
    if (ehdr->e_phentsize != ELF_PHDR_SIZE)
        return 6;
    // With no section headers their record size means nothing.
    if (ehdr->e_shnum > 0 && ehdr->e_shentsize != ELF_SHDR_SIZE)
        return 7;
    return 0;
}

// A table of `n` records of `recSize` bytes at `off`, every record nothing
// but 32-bit words, decoded into one heap block of host records (at least
// 1 byte, so an empty table is still a block).
static void* ElfReadWordTable(int fd, uint32_t off, uint16_t n, size_t recSize)
{
    uint64_t len = (uint64_t)n * recSize;
    unsigned char* raw = ElfReadRange(fd, off, len);
    if (!raw)
        return NULL;
    uint32_t* tbl = (uint32_t*)malloc(len ? (size_t)len : 1);
    if (tbl) {
        for (uint64_t i = 0; i < len / 4; i++)
            tbl[i] = GetLE32(raw + 4 * i);
    }
    free(raw);
    return tbl;
}

// Both tables' records are word arrays, field for field in file order.
static_assert(sizeof(Elf32_Phdr) == 8 * sizeof(uint32_t), "program header is 8 words");
static_assert(sizeof(Elf32_Shdr) == 10 * sizeof(uint32_t), "section header is 10 words");

Elf32_Phdr* ElfGetPhdrTbl(int fd, const Elf32_Ehdr* ehdr)
{
    // Records of another size cannot be handed out as Elf32_Phdr: the
    // caller would index past the block.
    if (!ehdr || (ehdr->e_phnum > 0 && ehdr->e_phentsize != ELF_PHDR_SIZE))
        return NULL;
    return (Elf32_Phdr*)ElfReadWordTable(fd, ehdr->e_phoff, ehdr->e_phnum, ELF_PHDR_SIZE);
}

Elf32_Shdr* ElfGetShdrTbl(int fd, const Elf32_Ehdr* ehdr)
{
    if (!ehdr || (ehdr->e_shnum > 0 && ehdr->e_shentsize != ELF_SHDR_SIZE))
        return NULL;
    return (Elf32_Shdr*)ElfReadWordTable(fd, ehdr->e_shoff, ehdr->e_shnum, ELF_SHDR_SIZE);
}

void* ElfReadSectionData(int fd, uint32_t off, uint32_t sz)
{
    if (sz == 0)
        return NULL;
    return ElfReadRange(fd, off, sz);
}

int ElfSeekRange(int fd, uint32_t off, uint32_t sz)
{
    if (sz > ELF_MAX_RANGE || !ElfRangeInFile(fd, off, sz))
        return 0;
    return ElfSeekTo(fd, off) == 0;
}

int ElfReadNext(int fd, void* buf, uint32_t len)
{
    return ElfReadFull(fd, buf, len) == len;
}
