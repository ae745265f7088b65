// The DBGP loader: the requests byte for byte, how segments are cut into
// memory writes, what each reply does, and whole loads of the sample
// program that succeed or fail at every step without leaking.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dbgp.h"
#include "dbgp_internal.h"
#include "deci2.h"
#include "elf.h"
#include "testutil.h"
#include "loopback.h"
#include "main.h"
#include "net.h"

namespace {

std::string WriteTemp(const std::string& name, const Bytes& data)
{
    return WriteTempAs("dbgp_test_", name, data);
}

// Line numbers change with every edit; the file name and the text do not.
std::string Lines(const std::string& out)
{
    std::string r;
    for (size_t i = 0; i < out.size(); i++) {
        size_t j = i + 1;
        while (out[i] == '(' && j < out.size() && isdigit((unsigned char)out[j]))
            j++;
        if (out[i] == '(' && j > i + 1 && out.compare(j, 3, "): ") == 0) {
            r += "(N";
            i = j - 1;
        } else {
            r += out[i];
        }
    }
    return r;
}

Bytes Conf(uint32_t memAlign, uint32_t limitAlign = 0, uint32_t limitSize = 0)
{
    Bytes c(DBGP_CONF_SIZE, 0);
    PutLE32(&c[0], 3);  // major_ver
    PutLE32(&c[16], memAlign);
    PutLE32(&c[48], limitAlign);
    PutLE32(&c[52], limitSize);
    return c;
}

Bytes Reply(uint8_t type, uint8_t result, const Bytes& more = Bytes(), uint8_t code = 0)
{
    Bytes b(DBGP_HDR_SIZE, 0);
    b[DBGP_OFF_TYPE] = type;
    b[DBGP_OFF_CODE] = code;
    b[DBGP_OFF_RESULT] = result;
    b.insert(b.end(), more.begin(), more.end());
    return b;
}

// One memory write as it left, checked for the fields every write must get
// right whatever its content.
struct Write {
    int k;
    uint32_t adr;
    uint32_t n;
    size_t total;
    Bytes data;
};

// ---- a target behind the loader's send step --------------------------------
//
// Records every request, answers the configuration request with `conf`, and
// fails the request numbered `failAt` (0 = the first) as a failed exchange.

std::vector<Bytes> sent;
Bytes conf;
int failAt = -1;

int FakeTarget(void* buf, unsigned int)
{
    if (!buf)
        return -1;
    const unsigned char* p = (const unsigned char*)buf;
    Bytes b(p, p + GetLE16(p));
    free(buf);
    sent.push_back(b);
    if ((int)sent.size() - 1 == failAt)
        return -1;
    if (b.size() >= 16 && b[8 + DBGP_OFF_TYPE] == DBGP_TYPE_GETCONF)
        DbgpStoreConf(conf.data());
    return 1;
}

class Dbgp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QueueCreate(), 0);
        sent.clear();
        failAt = -1;
        conf = Conf(0x1f);
        DbgpStoreConf(conf.data());
        DbgpSetSender(FakeTarget);
        SetProgramName(progPath);
    }
    void TearDown() override
    {
        DbgpSetSender(NULL);
        QueueDestroy();
        RemoveTemps();
    }

    void SetConf(const Bytes& c)
    {
        conf = c;
        DbgpStoreConf(conf.data());
    }

    // Recorded requests [from, to) must be memory writes; returns them decoded.
    std::vector<Write> Writes(size_t from = 0, size_t to = (size_t)-1)
    {
        std::vector<Write> w;
        for (size_t i = from; i < sent.size() && i < to; i++) {
            const Bytes& b = sent[i];
            EXPECT_GE(b.size(), (size_t)DBGP_WRMEM_NHDR);
            if (b.size() < DBGP_WRMEM_NHDR)
                break;
            EXPECT_EQ(GetLE16(&b[0]), b.size());
            EXPECT_EQ(GetLE16(&b[4]), PROTO_DBGP);
            EXPECT_EQ(b[6], NODE_HOST);
            EXPECT_EQ(b[7], NODE_EE);
            EXPECT_EQ(b[8 + DBGP_OFF_TYPE], DBGP_TYPE_WRMEM);
            EXPECT_EQ(b[8 + DBGP_OFF_COUNT], 1);
            Write x;
            x.k = b[17];
            x.adr = GetLE32(&b[20]);
            x.n = GetLE32(&b[24]);
            x.total = b.size();
            size_t asize = (size_t)1 << x.k;
            size_t npad = ((DBGP_WRMEM_NHDR + asize - 1) & ~(asize - 1)) - DBGP_WRMEM_NHDR;
            EXPECT_EQ(b.size(), DBGP_WRMEM_NHDR + npad + x.n) << "write " << i;
            EXPECT_EQ((DBGP_WRMEM_NHDR + npad) % asize, 0u);
            for (size_t j = DBGP_WRMEM_NHDR; j < DBGP_WRMEM_NHDR + npad && j < b.size(); j++)
                EXPECT_EQ(b[j], 0) << "padding of write " << i;
            if (b.size() >= DBGP_WRMEM_NHDR + npad)
                x.data.assign(b.begin() + DBGP_WRMEM_NHDR + npad, b.end());
            w.push_back(x);
        }
        return w;
    }

    // Loads `len` bytes at `adr` and checks that the writes cover them
    // exactly, in ascending order, with the right bytes.
    std::vector<Write> Load(uint32_t adr, int len)
    {
        Bytes src(len);
        for (int i = 0; i < len; i++)
            src[i] = (unsigned char)(i * 7 + 3);
        EXPECT_EQ(DbgpDownLoad(adr, src.data(), len, 0), 0);
        std::vector<Write> w = Writes();
        uint32_t at = adr;
        Bytes got;
        for (const Write& x : w) {
            EXPECT_EQ(x.adr, at);
            at += x.n;
            got.insert(got.end(), x.data.begin(), x.data.end());
        }
        EXPECT_TRUE(got == src);
        return w;
    }

    char progPath[32] = "some/dir/hlink6";
};

TEST_F(Dbgp, ConfigurationAndRunRequestsByteForByte)
{
    void* g = DbgpMakeGetconf();
    ASSERT_NE(g, nullptr);
    Bytes expect(84, 0);
    expect[0] = 84;
    expect[4] = 0x30;
    expect[5] = 0x02;
    expect[6] = 'H';
    expect[7] = 'E';
    EXPECT_TRUE(Bytes((unsigned char*)g, (unsigned char*)g + 84) == expect);
    free(g);

    // No arguments: the program's own name alone, 36 + 4 + 7 bytes.
    unsigned char* r = (unsigned char*)DbgpMakeRun(0x00100000, 0x00108320, 0, NULL);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(GetLE16(r), 47);
    EXPECT_EQ(GetLE16(r + 4), PROTO_DBGP);
    EXPECT_EQ(r[8 + DBGP_OFF_TYPE], DBGP_TYPE_RUN);
    EXPECT_EQ(r[8 + DBGP_OFF_COUNT], 1);
    EXPECT_EQ(GetLE32(r + 16), 0x00100000u);
    EXPECT_EQ(GetLE32(r + 20), 0x00108320u);
    EXPECT_EQ(GetLE32(r + 24), 0u);
    EXPECT_EQ(GetLE32(r + 28), 0u);
    EXPECT_EQ(GetLE32(r + 32), 1u);
    EXPECT_EQ(GetLE32(r + 36), 7u);
    EXPECT_EQ(memcmp(r + 40, "hlink6", 7), 0);
    free(r);

    // Two arguments: lengths, not addresses, then the strings back to back.
    char a0[] = "-x", a1[] = "y";
    char* argv[] = {a0, a1};
    EXPECT_EQ(CalcArgvLen(2, argv), 12);
    r = (unsigned char*)DbgpMakeRun(1, 2, 2, argv);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(GetLE16(r), 60);
    EXPECT_EQ(GetLE32(r + 32), 3u);
    EXPECT_EQ(GetLE32(r + 36), 7u);
    EXPECT_EQ(GetLE32(r + 40), 3u);
    EXPECT_EQ(GetLE32(r + 44), 2u);
    EXPECT_EQ(memcmp(r + 48, "hlink6\0-x\0y", 12), 0);
    free(r);

    // The longest argument that still fits one packet, and one byte more.
    std::string big(65535 - 36 - 8 - 7 - 1, 'a');
    char* bigv[] = {&big[0]};
    r = (unsigned char*)DbgpMakeRun(1, 2, 1, bigv);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(GetLE16(r), 65535);
    EXPECT_EQ(r[65534], 0);
    free(r);
    big += 'a';
    bigv[0] = &big[0];
    EXPECT_EQ(DbgpMakeRun(1, 2, 1, bigv), nullptr);
}

TEST_F(Dbgp, BulkCodeIsTheHighestListedUpToTen)
{
    const struct {
        uint32_t memAlign;
        int code;
    } cases[] = {{0x1f, 4}, {0x400, 10}, {0x7ff, 10}, {0x1, 0}, {0, -1}, {0xfffff800, -1}};
    for (const auto& c : cases) {
        SetConf(Conf(c.memAlign));
        EXPECT_EQ(DbgpMaxMemAlign(), c.code) << std::hex << c.memAlign;
    }
}

TEST_F(Dbgp, SegmentIsCutIntoHeadBulkAndTail)
{
    // Code 4 from 0x00100008: 8 single bytes up to the boundary, whole units
    // after 4 zero bytes of padding, then the 11 bytes left.
    std::vector<Write> w = Load(0x00100008, 4099);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].adr, 0x00100008u);
    EXPECT_EQ(w[0].n, 8u);
    EXPECT_EQ(w[0].total, 36u);
    EXPECT_EQ(w[1].k, 4);
    EXPECT_EQ(w[1].adr, 0x00100010u);
    EXPECT_EQ(w[1].n, 4080u);
    EXPECT_EQ(w[1].total, 4112u);
    EXPECT_EQ(w[2].k, 0);
    EXPECT_EQ(w[2].adr, 0x00101000u);
    EXPECT_EQ(w[2].n, 11u);
    EXPECT_EQ(w[2].total, 39u);

    // A segment shorter than the way to the first boundary is all head.
    sent.clear();
    w = Load(0x00100001, 5);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].k, 0);
}

TEST_F(Dbgp, LargeSegmentsFillEveryPacketToTheLengthLimit)
{
    std::vector<Write> w = Load(0x00100000, 200000);
    ASSERT_EQ(w.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(w[i].k, 4);
        EXPECT_EQ(w[i].n, 65488u);
        EXPECT_EQ(w[i].total, 65520u);
    }
    EXPECT_EQ(w[3].n, 3536u);

    // No usable code at all: single bytes, 65507 to a full 65535-byte packet.
    SetConf(Conf(0));
    sent.clear();
    w = Load(0x00100001, 70000);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].total, 65535u);
    EXPECT_EQ(w[1].n, 70000u - 65507u);

    // Code 10: 996 bytes of padding put the data at offset 1024.
    SetConf(Conf(0x400));
    sent.clear();
    w = Load(0x00100003, 200000);
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w[0].k, 0);
    EXPECT_EQ(w[0].n, 1021u);
    for (size_t i = 1; i + 1 < w.size(); i++) {
        EXPECT_EQ(w[i].k, 10);
        EXPECT_EQ(w[i].adr % 1024, 0u);
        EXPECT_TRUE(w[i].n == 63488u || i + 2 == w.size()) << i;
        EXPECT_EQ(w[i].n % 1024, 0u);
    }
    EXPECT_EQ(w.back().k, 0);
    EXPECT_EQ(w.back().n, (200000u - 1021u) % 1024u);
}

TEST_F(Dbgp, TargetSizeLimitBoundsItsCodesOnly)
{
    // Bulk writes limited to 1024-byte packets; the single-byte head and
    // tail are not limited.
    SetConf(Conf(0x1f, 0x10, 1024));
    std::vector<Write> w = Load(0x00100008, 4099);
    ASSERT_EQ(w.size(), 7u);
    for (size_t i = 1; i <= 5; i++) {
        EXPECT_EQ(w[i].k, 4);
        EXPECT_LE(w[i].total, 1024u);
    }
    EXPECT_EQ(w[1].n, 992u);
    EXPECT_EQ(w[5].n, 4080u - 4 * 992u);

    // The single-byte code limited too.
    SetConf(Conf(0x1, 0x1, 100));
    sent.clear();
    w = Load(0x00100000, 300);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].n, 72u);
    EXPECT_EQ(w[4].n, 12u);

    // A limit that is not a whole number of units: whole units only.
    SetConf(Conf(0x1f, 0x10, 1000));
    sent.clear();
    w = Load(0x00100000, 5000);
    for (const Write& x : w) {
        EXPECT_LE(x.total, 1000u);
        if (x.k == 4) {
            EXPECT_EQ(x.n % 16, 0u);
        }
    }
    EXPECT_EQ(w[0].n, 960u);
}

TEST_F(Dbgp, SizeLimitWithoutRoomForAUnitFailsBeforeSending)
{
    Bytes src(4096, 0x5a);

    // Room for the headers and padding only: refused quietly.
    SetConf(Conf(0x1f, 0x10, 32));
    testing::internal::CaptureStdout();
    EXPECT_EQ(DbgpDownLoad(0x00100000, src.data(), 4096, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(sent.empty());

    // Room for 100 bytes, but a unit of code 10 is 1024: no endless loop of
    // empty writes, a clear failure instead.
    SetConf(Conf(0x400, 0x400, 28 + 996 + 100));
    testing::internal::CaptureStdout();
    EXPECT_EQ(DbgpDownLoad(0x00100000, src.data(), 4096, 0), -1);
    EXPECT_EQ(Lines(testing::internal::GetCapturedStdout()),
              "dbgp.cpp(N): DBGP memory-write size limit is smaller than one unit\n");
    EXPECT_TRUE(sent.empty());
}

// ---- replies -----------------------------------------------------------------

class DbgpReplies : public Dbgp {
protected:
    void SetUp() override
    {
        Dbgp::SetUp();
        void* req = DbgpMakeGetconf();
        ASSERT_EQ(AddPacket(req, PKT_SEND_REQUEST), 0);
        GetHeadPktByStat(PKT_SEND_REQUEST)->stat = PKT_AWAITING_REPLY;
    }
    int HeadStat()
    {
        PKT* head = GetHeadPktByStat(~0);
        return head ? head->stat : 0;
    }
    // Runs the handler on exactly `body`, so that a read past it shows under
    // the address sanitizer, and returns what it printed.
    std::string Handle(Bytes body, int* rc)
    {
        testing::internal::CaptureStdout();
        *rc = DbgpHandler(body.empty() ? NULL : (char*)body.data(), (uint16_t)body.size());
        return Lines(testing::internal::GetCapturedStdout());
    }
    void Rearm() { GetHeadPktByStat(~0)->stat = PKT_AWAITING_REPLY; }
};

TEST_F(DbgpReplies, ConfigurationReplyIsTakenOnlyWhenWholeAndSuccessful)
{
    int rc;
    SetConf(Conf(0x1f));

    Bytes full = Reply(DBGP_TYPE_GETCONFR, 0, Conf(0x400, 0x400, 4096));
    // Cut by one byte: nothing stale is taken from beyond the body.
    Bytes cut(full.begin(), full.end() - 1);
    EXPECT_EQ(Handle(cut, &rc), "dbgp.cpp(N): cannot get DBGP configuration data\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(DbgpMaxMemAlign(), 4);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    Bytes failed = full;
    failed[DBGP_OFF_RESULT] = 1;
    EXPECT_EQ(Handle(failed, &rc), "dbgp.cpp(N): cannot get DBGP configuration data\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(DbgpConf()->mem_align, 0x1fu);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    EXPECT_EQ(Handle(full, &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(DbgpMaxMemAlign(), 10);
    EXPECT_EQ(DbgpConf()->v1.mem_limit_size, 4096u);
    EXPECT_EQ(DbgpConf()->major_ver, 3u);
    EXPECT_EQ(HeadStat(), PKT_REPLIED);
}

TEST_F(DbgpReplies, WriteAndRunRepliesAdvanceOnlyOnSuccess)
{
    int rc;
    const struct {
        uint8_t type;
        const char* failure;
    } kinds[] = {{DBGP_TYPE_WRMEMR, "dbgp.cpp(N): DBGP_TYPE_WRMEM failed\n"},
                 {DBGP_TYPE_RUNR, "dbgp.cpp(N): DBGP_TYPE_RUN failed\n"}};
    for (const auto& k : kinds) {
        Rearm();
        EXPECT_EQ(Handle(Reply(k.type, 2), &rc), k.failure);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
        EXPECT_EQ(Handle(Reply(k.type, 0), &rc), "");
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(HeadStat(), PKT_REPLIED);
    }

    // A reply with nothing waiting changes nothing.
    DelPacket(GetHeadPktByStat(~0));
    EXPECT_EQ(Handle(Reply(DBGP_TYPE_WRMEMR, 0), &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(QueueHead()->next, QueueHead());
}

TEST_F(DbgpReplies, BreakUnknownAndTruncatedPackets)
{
    int rc;
    EXPECT_EQ(Handle(Reply(DBGP_TYPE_BREAKR, 0, Bytes(), 1), &rc),
              "dbgp.cpp(N): break code 0x1  result 0x0\n"
              "dbgp.cpp(N): target program breaked by unknown reason\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    EXPECT_EQ(Handle(Reply(0x05, 0), &rc), "dbgp.cpp(N): unknown dbgp packet received.\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);

    // Too short to hold the fields read: a failure, not a read past it.
    for (size_t n = 0; n < DBGP_HDR_SIZE; n++) {
        Bytes b = Reply(DBGP_TYPE_WRMEMR, 0);
        b.resize(n);
        EXPECT_EQ(Handle(b, &rc), "dbgp.cpp(N): short dbgp packet received.\n") << n;
        EXPECT_EQ(rc, -1);
    }
    EXPECT_EQ(HeadStat(), PKT_AWAITING_REPLY);
}

// ---- whole loads ---------------------------------------------------------------

// The sample's layout, read straight from its bytes.
struct Image {
    Bytes file;
    uint32_t entry = 0;
    uint32_t gp = 0;
    std::map<uint32_t, Bytes> segments;  // address -> file image
    size_t reginfoShdr = 0;              // offset of its section header
    size_t firstLoadPhdr = 0;
};

Image ParseImage(const Bytes& f)
{
    Image im;
    im.file = f;
    if (f.size() < 52)
        return im;
    im.entry = GetLE32(&f[24]);
    uint32_t phoff = GetLE32(&f[28]), shoff = GetLE32(&f[32]);
    for (unsigned i = 0; i < GetLE16(&f[44]); i++) {
        const unsigned char* p = &f[phoff + 32 * i];
        uint32_t off = GetLE32(p + 4), filesz = GetLE32(p + 16);
        if (GetLE32(p) != PT_LOAD || filesz == 0)
            continue;
        if (im.segments.empty())
            im.firstLoadPhdr = phoff + 32 * i;
        im.segments[GetLE32(p + 8)] = Bytes(f.begin() + off, f.begin() + off + filesz);
    }
    for (unsigned i = 0; i < GetLE16(&f[48]); i++) {
        const unsigned char* s = &f[shoff + 40 * i];
        if (GetLE32(s + 4) == SHT_MIPS_REGINFO) {
            im.gp = GetLE32(&f[GetLE32(s + 16) + 20]);
            im.reginfoShdr = shoff + 40 * i;
            break;
        }
    }
    return im;
}

class DbgpLoad : public Dbgp {
protected:
    void SetUp() override
    {
        Dbgp::SetUp();
        image = ParseImage(ReadAll(FixturePath()));
        ASSERT_EQ(image.segments.size(), 2u);
        ASSERT_NE(image.reginfoShdr, 0u);
    }
    int Pload(const std::string& path, int argc, char** argv, std::string* out)
    {
        std::string name = path;
        testing::internal::CaptureStdout();
        int rc = DbgpPload(&name[0], argc, argv, 0);
        *out = Lines(testing::internal::GetCapturedStdout());
        return rc;
    }
    // Memory as the writes left it: address -> byte.
    std::map<uint32_t, unsigned char> Memory()
    {
        std::map<uint32_t, unsigned char> m;
        for (size_t i = 1; i + 1 < sent.size(); i++) {
            const Bytes& b = sent[i];
            if (b[8 + DBGP_OFF_TYPE] != DBGP_TYPE_WRMEM)
                continue;
            std::vector<Write> w = Writes(i, i + 1);
            for (uint32_t j = 0; j < w[0].n; j++)
                m[w[0].adr + j] = w[0].data[j];
        }
        return m;
    }
    Image image;
};

TEST_F(DbgpLoad, SampleProgramIsWrittenAndStartedWithItsArguments)
{
    char a0[] = "hello.txt", a1[] = "-v";
    char* argv[] = {a0, a1};
    std::string out;
    ASSERT_EQ(Pload(FixturePath(), 2, argv, &out), 0) << out;

    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent.front()[8 + DBGP_OFF_TYPE], DBGP_TYPE_GETCONF);
    const Bytes& run = sent.back();
    ASSERT_EQ(run[8 + DBGP_OFF_TYPE], DBGP_TYPE_RUN);
    EXPECT_EQ(GetLE32(&run[16]), image.entry);
    EXPECT_EQ(GetLE32(&run[20]), image.gp);
    EXPECT_NE(image.gp, 0u);
    EXPECT_EQ(GetLE32(&run[32]), 3u);
    EXPECT_EQ(memcmp(&run[48], "hlink6\0hello.txt\0-v", 20), 0);

    // Target memory holds each segment's file image and nothing else.
    std::map<uint32_t, unsigned char> mem = Memory();
    size_t total = 0;
    std::string lines;
    for (const auto& seg : image.segments) {
        total += seg.second.size();
        for (size_t j = 0; j < seg.second.size(); j++)
            ASSERT_EQ(mem[seg.first + (uint32_t)j], seg.second[j]) << std::hex << seg.first + j;
        char line[128];
        snprintf(line, sizeof line, "dbgp.cpp(N): Loading program (address=0x%08x size=0x%08x) ...\n",
                 (unsigned)seg.first, (unsigned)seg.second.size());
        lines += line;
    }
    EXPECT_EQ(mem.size(), total);
    EXPECT_EQ(out, lines);
}

TEST_F(DbgpLoad, RunRequestTooLongIsRefusedBeforeAnythingIsSent)
{
    std::string big(70000, 'x');
    char* argv[] = {&big[0]};
    std::string out;
    EXPECT_EQ(Pload(FixturePath(), 1, argv, &out), -1);
    EXPECT_EQ(out, "dbgp.cpp(N): program arguments too long for DBGP_TYPE_RUN packet\n");
    EXPECT_TRUE(sent.empty());
}

TEST_F(DbgpLoad, GpComesOnlyFromAWholeRegisterInformationSection)
{
    const struct {
        const char* name;
        size_t off;
        uint32_t value;
    } edits[] = {
        {"reginfo20", image.reginfoShdr + 20, 20},    // sh_size
        {"noreginfo", image.reginfoShdr + 4, 1},      // sh_type
        {"reginfofar", image.reginfoShdr + 16, 0x7fffff00},  // sh_offset
    };
    for (const auto& e : edits) {
        Bytes f = image.file;
        PutLE32(&f[e.off], e.value);
        sent.clear();
        std::string out;
        ASSERT_EQ(Pload(WriteTemp(e.name, f), 0, NULL, &out), 0) << e.name;
        ASSERT_EQ(sent.back()[8 + DBGP_OFF_TYPE], DBGP_TYPE_RUN);
        EXPECT_EQ(GetLE32(&sent.back()[20]), 0u) << e.name;
        EXPECT_EQ(GetLE32(&sent.back()[16]), image.entry);
    }

    // A loadable segment without file bytes is passed over without a word.
    Bytes f = image.file;
    PutLE32(&f[image.firstLoadPhdr + 16], 0);
    sent.clear();
    std::string out;
    ASSERT_EQ(Pload(WriteTemp("nofilesz", f), 0, NULL, &out), 0);
    char first[32];
    snprintf(first, sizeof first, "address=0x%08x", (unsigned)image.segments.begin()->first);
    EXPECT_EQ(out.find(first), std::string::npos) << out;
    EXPECT_NE(out.find("Loading program"), std::string::npos) << out;
    std::map<uint32_t, unsigned char> mem = Memory();
    EXPECT_EQ(mem.count(image.segments.begin()->first), 0u);
}

// Every way a load can fail: the right line, -1, and (under the address
// sanitizer) nothing leaked and nothing read out of bounds.
TEST_F(DbgpLoad, EveryFailureIsReportedAndReleasesEverything)
{
    uint32_t phoff = GetLE32(&image.file[28]);
    auto edited = [&](const char* name, size_t off, int width, uint32_t v) {
        Bytes f = image.file;
        if (width == 4)
            PutLE32(&f[off], v);
        else
            PutLE16(&f[off], (uint16_t)v);
        return WriteTemp(name, f);
    };
    const struct {
        std::string path;
        int failAt;
        const char* line;
        bool beforeWrites;
    } cases[] = {
        {FixturePath(), 0, "faild to send DBGP_TYPE_GETCONF packet", false},
        {testing::TempDir() + "dbgp_test_missing", -1, "Cannot open file", true},
        {WriteTemp("text", Bytes(100, 'a')), -1, "Cannot open file", true},
        {WriteTemp("short", Bytes(image.file.begin(), image.file.begin() + 30)), -1,
         "Cannot read ELF header", true},
        {edited("x86", 18, 2, 3), -1, "File is not for EE architecture", true},
        {edited("phfar", 28, 4, 0x7fffff00), -1, "There is no program headers", true},
        {edited("segfar", phoff + 4, 4, 0x7fffff00), -1, "Error occured while reading file", true},
        {FixturePath(), 2, "faild to send DBGP_TYPE_WRMEM packet", false},
        {edited("shfar", 32, 4, 0x7fffff00), -1, "cannot read section headers", false},
        {FixturePath(), 1000, "faild to send DBGP_TYPE_RUN packet", false},
    };
    for (const auto& c : cases) {
        sent.clear();
        failAt = c.failAt;
        // The run request is the last one, wherever that falls.
        if (c.failAt == 1000) {
            failAt = -1;
            std::string out;
            ASSERT_EQ(Pload(FixturePath(), 0, NULL, &out), 0);
            failAt = (int)sent.size() - 1;
            sent.clear();
        }
        std::string out;
        EXPECT_EQ(Pload(c.path, 0, NULL, &out), -1) << c.line;
        EXPECT_EQ(out.substr(out.rfind("dbgp.cpp(N): ")), std::string("dbgp.cpp(N): ") + c.line + "\n")
            << out;
        if (c.beforeWrites) {
            // Failures of the file come after the configuration and before
            // any write.
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.back()[8 + DBGP_OFF_TYPE], DBGP_TYPE_GETCONF) << c.line;
        }
    }
}

// ---- over a real connection --------------------------------------------------
//
// The same loads through the real queue and wait, against a target on the
// other end of a loopback connection that answers each request in turn.

bool RecvFull(int s, unsigned char* b, int n)
{
    int got = 0;
    while (got < n) {
        int r = NetRecv(s, b + got, n - got);
        if (r <= 0)
            return false;
        got += r;
    }
    return true;
}

struct LinkTarget {
    int fd = -1;
    int failWrite = -1;  // the memory write (0 = first) answered with a failure
    Bytes conf;
    std::vector<Bytes> got;

    void Serve()
    {
        int writes = 0;
        for (;;) {
            unsigned char h[8];
            if (!RecvFull(fd, h, 8))
                return;
            Bytes pkt(h, h + 8);
            pkt.resize(GetLE16(h));
            if (pkt.size() < 16 || !RecvFull(fd, &pkt[8], (int)pkt.size() - 8))
                return;
            got.push_back(pkt);
            uint8_t type = pkt[8 + DBGP_OFF_TYPE];
            uint8_t result = 0;
            if (type == DBGP_TYPE_WRMEM && writes++ == failWrite)
                result = 0x10;
            Bytes body = Reply((uint8_t)(type + 1), result,
                               type == DBGP_TYPE_GETCONF ? conf : Bytes());
            Bytes reply(8);
            MakeDeci2Hdr((DECI2_HDR*)reply.data(), (uint16_t)(8 + body.size()), PROTO_DBGP,
                         NODE_EE, NODE_HOST);
            reply.insert(reply.end(), body.begin(), body.end());
            if (NetSend(fd, reply.data(), (int)reply.size()) != (int)reply.size())
                return;
            if (type == DBGP_TYPE_RUN || result != 0)
                return;
        }
    }
};

class DbgpOverLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QueueCreate(), 0);
        SetProgramName(progPath);
        SetWaitTimeout(5, 5);
        sampleProtoOpened = 0;
        image = ParseImage(ReadAll(FixturePath()));
        uint16_t port = 0;
        listener = LoopbackListen(&port);
        ASSERT_GE(listener, 0);
        client = NetSocket();
        ASSERT_GE(client, 0);
        ASSERT_EQ(NetConnect(client, NetInetAddr("127.0.0.1"), NET_AF_INET, port), 0);
        target.fd = LoopbackAccept(listener);
        ASSERT_GE(target.fd, 0);
        target.conf = Conf(0x1f);
    }
    void TearDown() override
    {
        if (peer.joinable())
            peer.join();
        NetClose(client);
        NetClose(target.fd);
        NetClose(listener);
        QueueDestroy();
        SetWaitTimeout(10, 10);
    }
    int Pload(std::string* out)
    {
        peer = std::thread([this] { target.Serve(); });
        std::string name = FixturePath();
        char arg[] = "hello.txt";
        char* argv[] = {arg};
        testing::internal::CaptureStdout();
        int rc = DbgpPload(&name[0], 1, argv, (unsigned int)client);
        *out = Lines(testing::internal::GetCapturedStdout());
        peer.join();
        return rc;
    }

    char progPath[16] = "hlink6";
    Image image;
    LinkTarget target;
    std::thread peer;
    int listener = -1, client = -1;
};

TEST_F(DbgpOverLink, LoadEndsWithTheTargetMemoryHoldingTheSegments)
{
    std::string out;
    ASSERT_EQ(Pload(&out), 0) << out;
    EXPECT_EQ(DbgpMaxMemAlign(), 4);

    std::map<uint32_t, unsigned char> mem;
    for (const Bytes& b : target.got) {
        if (b[8 + DBGP_OFF_TYPE] != DBGP_TYPE_WRMEM)
            continue;
        int k = b[17];
        size_t npad = k >= 3 ? 4 : 0;  // codes up to 4 only with this target
        uint32_t adr = GetLE32(&b[20]), n = GetLE32(&b[24]);
        ASSERT_EQ(b.size(), DBGP_WRMEM_NHDR + npad + n);
        for (uint32_t j = 0; j < n; j++)
            mem[adr + j] = b[DBGP_WRMEM_NHDR + npad + j];
    }
    size_t total = 0;
    for (const auto& seg : image.segments) {
        total += seg.second.size();
        for (size_t j = 0; j < seg.second.size(); j++)
            ASSERT_EQ(mem[seg.first + (uint32_t)j], seg.second[j]);
    }
    EXPECT_EQ(mem.size(), total);

    const Bytes& run = target.got.back();
    ASSERT_EQ(run[8 + DBGP_OFF_TYPE], DBGP_TYPE_RUN);
    EXPECT_EQ(GetLE32(&run[16]), image.entry);
    EXPECT_EQ(GetLE32(&run[20]), image.gp);
    EXPECT_EQ(memcmp(&run[44], "hlink6\0hello.txt", 17), 0);
    EXPECT_EQ(QueueHead()->next, QueueHead()) << "every request freed";
}

TEST_F(DbgpOverLink, FailedWriteStopsTheLoadWithTheWholeStackOfLines)
{
    target.failWrite = 1;
    std::string out;
    EXPECT_EQ(Pload(&out), -1);
    EXPECT_NE(out.find("dbgp.cpp(N): DBGP_TYPE_WRMEM failed\n"
                       "main.cpp(N): receive error\n"
                       "main.cpp(N): select error\n"
                       "dbgp.cpp(N): faild to send DBGP_TYPE_WRMEM packet\n"),
              std::string::npos)
        << out;
    // Nothing was sent after the failed write.
    int writes = 0;
    for (const Bytes& b : target.got)
        writes += b[8 + DBGP_OFF_TYPE] == DBGP_TYPE_WRMEM;
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(target.got.back()[8 + DBGP_OFF_TYPE], DBGP_TYPE_WRMEM);
}

}  // namespace
