// Reading the EE program file: an ELF32 little-endian MIPS executable.
//
// The reader checks the file and hands out its header, its two tables and
// any byte range; what gets loaded is the DBGP loader's business. It prints
// nothing: each function's result says what went wrong.
//
// Records are decoded from the file's little-endian bytes into the host's
// own integers, so the tables can be used as they are on any host. Every
// function that reads seeks to an absolute offset first, and every one that
// succeeds leaves the file at offset 0, so they may be called in any order.
#ifndef HOSTLINK_ELF_H
#define HOSTLINK_ELF_H

#include <stddef.h>
#include <stdint.h>

#define EI_NIDENT 16
#define EI_CLASS 4
#define EI_DATA 5
#define ELFCLASS32 1
#define ELFDATA2LSB 1
#define ET_EXEC 2
#define EM_MIPS 8
#define PT_LOAD 1
#define SHT_MIPS_REGINFO 0x70000006u

#define ELF_EHDR_SIZE 52
#define ELF_PHDR_SIZE 32
#define ELF_SHDR_SIZE 40
#define ELF_REGINFO_SIZE 24

typedef struct Elf32_Ehdr {
    unsigned char e_ident[EI_NIDENT];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint32_t e_entry;
    uint32_t e_phoff;
    uint32_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
} Elf32_Ehdr;

typedef struct Elf32_Phdr {
    uint32_t p_type;
    uint32_t p_offset;
    uint32_t p_vaddr;
    uint32_t p_paddr;
    uint32_t p_filesz;
    uint32_t p_memsz;
    uint32_t p_flags;
    uint32_t p_align;
} Elf32_Phdr;

typedef struct Elf32_Shdr {
    uint32_t sh_name;
    uint32_t sh_type;
    uint32_t sh_flags;
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint32_t sh_addralign;
    uint32_t sh_entsize;
} Elf32_Shdr;

// The register-information section of a MIPS executable.
typedef struct Elf32_RegInfo {
    uint32_t ri_gprmask;
    uint32_t ri_cprmask[4];
    int32_t ri_gp_value;
} Elf32_RegInfo;

// The in-memory records have exactly the file's layout, field for field.
static_assert(sizeof(Elf32_Ehdr) == ELF_EHDR_SIZE, "ELF header is 52 bytes");
static_assert(offsetof(Elf32_Ehdr, e_entry) == 24, "e_entry at 24");
static_assert(offsetof(Elf32_Ehdr, e_ehsize) == 40, "e_ehsize at 40");
static_assert(offsetof(Elf32_Ehdr, e_shstrndx) == 50, "e_shstrndx at 50");
static_assert(sizeof(Elf32_Phdr) == ELF_PHDR_SIZE, "program header is 32 bytes");
static_assert(sizeof(Elf32_Shdr) == ELF_SHDR_SIZE, "section header is 40 bytes");
static_assert(sizeof(Elf32_RegInfo) == ELF_REGINFO_SIZE, "register information is 24 bytes");
static_assert(offsetof(Elf32_RegInfo, ri_gp_value) == 20, "ri_gp_value at 20");

// Largest range handed out in one piece: far beyond any EE program, and a
// bound on what a damaged header can make us allocate.
#define ELF_MAX_RANGE 0x10000000u

// Result codes of ElfOpen.
#define ELF_OPEN_FAILED (-1)   // the file cannot be opened, or is no ordinary file
#define ELF_TOO_SHORT (-2)     // its first 4 bytes cannot be read
#define ELF_BAD_MAGIC (-3)     // its first 4 bytes are not the ELF magic

// Opens `fname` read-only in binary mode and checks the magic; a FIFO, a
// device or a directory is refused without waiting for it. A descriptor
// (0 or more) positioned at offset 0, which the caller closes with
// ElfClose; or one of the negative codes above, with nothing left open.
int ElfOpen(const char* fname);
void ElfClose(int fd);

// 1 when the whole 52-byte header was read into `ehdr`, 0 when not.
int ElfGetEhdr(int fd, Elf32_Ehdr* ehdr);

// 0 when the header is that of an executable for the EE; otherwise the
// number (1..7) of the first check that failed: class, byte order, type,
// machine, header size, program header size, section header size.
int ElfIsForEE(const Elf32_Ehdr* ehdr);

// The e_phnum program headers (e_shnum section headers) in one heap block
// the caller frees; non-null but empty when there are none. Null when the
// table cannot be read whole, does not lie inside the file, has records of
// another size, or the heap is exhausted.
Elf32_Phdr* ElfGetPhdrTbl(int fd, const Elf32_Ehdr* ehdr);
Elf32_Shdr* ElfGetShdrTbl(int fd, const Elf32_Ehdr* ehdr);

// The `sz` bytes at `off` in one heap block the caller frees. Null for
// `sz` 0 (without touching the file), for a range that does not lie inside
// the file or exceeds ELF_MAX_RANGE, on a short read or without heap.
void* ElfReadSectionData(int fd, uint32_t off, uint32_t sz);

// For reading a range in pieces: checks that the `sz` bytes at `off` lie
// inside the file (and within ELF_MAX_RANGE, as ElfReadSectionData does)
// and moves to `off`. 1, or 0 when they do not or the file cannot seek.
int ElfSeekRange(int fd, uint32_t off, uint32_t sz);
// The next `len` bytes of the file into `buf`: 1 when all of them were
// read, 0 on a short read or an error.
int ElfReadNext(int fd, void* buf, uint32_t len);

#endif
