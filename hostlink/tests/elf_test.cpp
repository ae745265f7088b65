// The ELF reader on the sample program and on damaged copies of it: every
// damaged file must give a failure result, never a crash, an overrun or an
// allocation sized by a lying header.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "deci2.h"
#include "elf.h"
#include "platform.h"
#include "testutil.h"

namespace {

std::string WriteTemp(const std::string& name, const Bytes& data)
{
    return WriteTempAs("elf_test_", name, data);
}

Bytes Text(const char* s)
{
    return Bytes(s, s + strlen(s));
}

// The file position, to check the rewind-after-success rule.
long Position(int fd)
{
    return (long)FileSeek(fd, 0, SEEK_CUR);
}

class Elf : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = ReadAll(FixturePath());
        ASSERT_GT(image.size(), (size_t)ELF_EHDR_SIZE) << FixturePath();
    }
    void TearDown() override
    {
        if (fd >= 0)
            ElfClose(fd);
        RemoveTemps();
    }
    // Writes `data` to a file of its own and opens it.
    int OpenEdited(const std::string& name, const Bytes& data)
    {
        if (fd >= 0)
            ElfClose(fd);
        fd = ElfOpen(WriteTemp(name, data).c_str());
        return fd;
    }
    uint32_t U32(size_t off) const { return GetLE32(&image[off]); }
    uint16_t U16(size_t off) const { return GetLE16(&image[off]); }

    Bytes image;
    int fd = -1;
};

TEST_F(Elf, OpenTellsMissingShortAndForeignFilesApart)
{
    EXPECT_EQ(ElfOpen((testing::TempDir() + "elf_test_no_such_file").c_str()), ELF_OPEN_FAILED);
    EXPECT_EQ(ElfOpen(WriteTemp("empty", Bytes()).c_str()), ELF_TOO_SHORT);
    EXPECT_EQ(ElfOpen(WriteTemp("three", Bytes(image.begin(), image.begin() + 3)).c_str()),
              ELF_TOO_SHORT);
    Bytes g(image);
    g[3] = 'G';
    EXPECT_EQ(ElfOpen(WriteTemp("elg", g).c_str()), ELF_BAD_MAGIC);
    EXPECT_EQ(ElfOpen(WriteTemp("text", Text("just some text\n")).c_str()), ELF_BAD_MAGIC);

    // Exactly the magic is enough to open; the header is then too short.
    ASSERT_GE(OpenEdited("magic4", Bytes(image.begin(), image.begin() + 4)), 0);
    Elf32_Ehdr eh;
    EXPECT_EQ(ElfGetEhdr(fd, &eh), 0);
    ASSERT_GE(OpenEdited("hdr51", Bytes(image.begin(), image.begin() + 51)), 0);
    EXPECT_EQ(ElfGetEhdr(fd, &eh), 0);
}

// The program headers of the sample, read twice: each read its own block,
// both field for field the file's.
void CheckProgramHeaders(int fd, const Elf32_Ehdr& eh, const Bytes& image)
{
    auto U32 = [&](size_t off) { return GetLE32(&image[off]); };
    Elf32_Phdr* ph = ElfGetPhdrTbl(fd, &eh);
    ASSERT_NE(ph, nullptr);
    EXPECT_EQ(Position(fd), 0);
    int loads = 0;
    for (int i = 0; i < eh.e_phnum; i++) {
        size_t r = eh.e_phoff + (size_t)i * ELF_PHDR_SIZE;
        EXPECT_EQ(ph[i].p_type, U32(r + 0));
        EXPECT_EQ(ph[i].p_offset, U32(r + 4));
        EXPECT_EQ(ph[i].p_vaddr, U32(r + 8));
        EXPECT_EQ(ph[i].p_filesz, U32(r + 16));
        EXPECT_EQ(ph[i].p_memsz, U32(r + 20));
        EXPECT_EQ(ph[i].p_align, U32(r + 28));
        loads += ph[i].p_type == PT_LOAD;
    }
    EXPECT_GE(loads, 2);

    // A second read is a block of its own with the same contents.
    Elf32_Phdr* ph2 = ElfGetPhdrTbl(fd, &eh);
    ASSERT_NE(ph2, nullptr);
    EXPECT_NE(ph2, ph);
    EXPECT_EQ(memcmp(ph, ph2, eh.e_phnum * sizeof(Elf32_Phdr)), 0);
    free(ph2);
    free(ph);
}

// The section headers of the sample, and the register information one of
// them points at.
void CheckSectionHeaders(int fd, const Elf32_Ehdr& eh, const Bytes& image)
{
    auto U32 = [&](size_t off) { return GetLE32(&image[off]); };
    Elf32_Shdr* sh = ElfGetShdrTbl(fd, &eh);
    ASSERT_NE(sh, nullptr);
    EXPECT_EQ(Position(fd), 0);
    int reginfo = -1;
    for (int i = 0; i < eh.e_shnum && reginfo < 0; i++) {
        size_t r = eh.e_shoff + (size_t)i * ELF_SHDR_SIZE;
        EXPECT_EQ(sh[i].sh_type, U32(r + 4));
        EXPECT_EQ(sh[i].sh_offset, U32(r + 16));
        EXPECT_EQ(sh[i].sh_size, U32(r + 20));
        if (sh[i].sh_type == SHT_MIPS_REGINFO)
            reginfo = i;
    }
    ASSERT_GE(reginfo, 0) << "the sample must carry its gp in .reginfo";
    EXPECT_EQ(sh[reginfo].sh_size, (uint32_t)ELF_REGINFO_SIZE);

    unsigned char* ri =
        (unsigned char*)ElfReadSectionData(fd, sh[reginfo].sh_offset, sh[reginfo].sh_size);
    ASSERT_NE(ri, nullptr);
    EXPECT_EQ(Position(fd), 0);
    EXPECT_EQ(memcmp(ri, &image[sh[reginfo].sh_offset], ELF_REGINFO_SIZE), 0);
    EXPECT_NE(GetLE32(ri + 20), 0u) << "gp is set";
    free(ri);
    free(sh);
}

TEST_F(Elf, SampleProgramIsAcceptedAndItsTablesMatchTheFile)
{
    fd = ElfOpen(FixturePath().c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Position(fd), 0);

    Elf32_Ehdr eh;
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    EXPECT_EQ(Position(fd), 0);
    EXPECT_EQ(ElfIsForEE(&eh), 0);
    EXPECT_EQ(eh.e_entry, U32(24));
    EXPECT_EQ(eh.e_phoff, U32(28));
    EXPECT_EQ(eh.e_shoff, U32(32));
    EXPECT_EQ(eh.e_phnum, U16(44));
    EXPECT_EQ(eh.e_shnum, U16(48));

    ASSERT_NO_FATAL_FAILURE(CheckProgramHeaders(fd, eh, image));
    ASSERT_NO_FATAL_FAILURE(CheckSectionHeaders(fd, eh, image));

    // After every success the next plain read starts at the magic.
    unsigned char m[4];
    ASSERT_EQ(FileRead(fd, m, 4), 4);
    EXPECT_EQ(memcmp(m, "\x7f" "ELF", 4), 0);
}

TEST_F(Elf, ForeignHeadersFailTheirOwnCheck)
{
    struct Edit {
        const char* name;
        size_t off;
        int width;
        uint32_t value;
        int code;
    } edits[] = {
        {"elf64", EI_CLASS, 1, 2, 1},
        {"bigendian", EI_DATA, 1, 2, 2},
        {"relocatable", 16, 2, 1, 3},
        {"x86", 18, 2, 3, 4},
        {"ehsize", 40, 2, 64, 5},
        {"phentsize", 42, 2, 56, 6},
        {"shentsize", 46, 2, 64, 7},
    };
    for (const Edit& e : edits) {
        Bytes b(image);
        if (e.width == 1)
            b[e.off] = (unsigned char)e.value;
        else
            PutLE16(&b[e.off], (uint16_t)e.value);
        ASSERT_GE(OpenEdited(e.name, b), 0) << e.name;
        Elf32_Ehdr eh;
        ASSERT_EQ(ElfGetEhdr(fd, &eh), 1) << e.name;
        EXPECT_EQ(ElfIsForEE(&eh), e.code) << e.name;
    }

    // Table records of another size are never handed out as the standard
    // ones, even to a caller that skipped the checks.
    Bytes b(image);
    PutLE16(&b[42], 16);
    ASSERT_GE(OpenEdited("phent16", b), 0);
    Elf32_Ehdr eh;
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    EXPECT_EQ(ElfGetPhdrTbl(fd, &eh), nullptr);
    b = image;
    PutLE16(&b[46], 20);
    ASSERT_GE(OpenEdited("shent20", b), 0);
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    EXPECT_EQ(ElfGetShdrTbl(fd, &eh), nullptr);
}

TEST_F(Elf, NoSectionHeadersGiveAnEmptyTable)
{
    Bytes b(image);
    PutLE16(&b[46], 0);  // e_shentsize
    PutLE16(&b[48], 0);  // e_shnum
    PutLE32(&b[32], 0x7ffffff0);  // e_shoff, meaningless without records
    ASSERT_GE(OpenEdited("noshdr", b), 0);
    Elf32_Ehdr eh;
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    EXPECT_EQ(ElfIsForEE(&eh), 0);
    Elf32_Shdr* sh = ElfGetShdrTbl(fd, &eh);
    EXPECT_NE(sh, nullptr);
    free(sh);
    EXPECT_EQ(Position(fd), 0);
}

TEST_F(Elf, TablesAndRangesOutsideTheFileAreRefused)
{
    Elf32_Ehdr eh;
    uint32_t phoff = U32(28), shoff = U32(32);

    // Cut inside the section header table, then inside the program headers.
    ASSERT_GE(OpenEdited("cutsh", Bytes(image.begin(), image.begin() + shoff + 10)), 0);
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    Elf32_Phdr* ph = ElfGetPhdrTbl(fd, &eh);
    EXPECT_NE(ph, nullptr);
    free(ph);
    EXPECT_EQ(ElfGetShdrTbl(fd, &eh), nullptr);
    ASSERT_GE(OpenEdited("cutph", Bytes(image.begin(), image.begin() + phoff + 40)), 0);
    ASSERT_EQ(ElfGetEhdr(fd, &eh), 1);
    EXPECT_EQ(ElfGetPhdrTbl(fd, &eh), nullptr);

    // Offsets and counts that point past the end or wrap around 32 bits.
    const struct {
        const char* name;
        size_t off;
        int width;
        uint32_t value;
    } lies[] = {
        {"phoff_far", 28, 4, 0x7fffff00},
        {"phoff_wrap", 28, 4, 0xfffffff0},
        {"phnum_max", 44, 2, 0xffff},
        {"shoff_wrap", 32, 4, 0xffffffd8},
        {"shnum_max", 48, 2, 0xffff},
    };
    for (const auto& l : lies) {
        Bytes b(image);
        if (l.width == 4)
            PutLE32(&b[l.off], l.value);
        else
            PutLE16(&b[l.off], (uint16_t)l.value);
        ASSERT_GE(OpenEdited(l.name, b), 0) << l.name;
        ASSERT_EQ(ElfGetEhdr(fd, &eh), 1) << l.name;
        if (l.off == 28 || l.off == 44)
            EXPECT_EQ(ElfGetPhdrTbl(fd, &eh), nullptr) << l.name;
        else
            EXPECT_EQ(ElfGetShdrTbl(fd, &eh), nullptr) << l.name;
    }

    // Byte ranges: past the end, wrapping, absurdly long, and the empty one,
    // which must not even move the file.
    ASSERT_GE(OpenEdited("ranges", image), 0);
    uint32_t size = (uint32_t)image.size();
    EXPECT_EQ(ElfReadSectionData(fd, size - 4, 8), nullptr);
    EXPECT_EQ(ElfReadSectionData(fd, 0xffffffff, 16), nullptr);
    EXPECT_EQ(ElfReadSectionData(fd, 16, 0xffffffff), nullptr);
    EXPECT_EQ(ElfReadSectionData(fd, size, 1), nullptr);
    void* last = ElfReadSectionData(fd, size - 4, 4);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(memcmp(last, &image[size - 4], 4), 0);
    free(last);
    ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
    EXPECT_EQ(ElfReadSectionData(fd, 0, 0), nullptr);
    EXPECT_EQ(Position(fd), 7);
}

}  // namespace
