// Whole loads of the sample program: what reaches target memory and the
// run request, every way a load can fail without leaking, and the same
// load through the real queue and wait over a loopback connection.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dbgp_fixture.h"
#include "elf.h"
#include "link.h"
#include "loopback.h"
#include "platform.h"
#include "state.h"

namespace {

std::string WriteTemp(const std::string& name, const Bytes& data)
{
    return WriteTempAs("dbgp_test_", name, data);
}

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
        // Addresses that would run past the top of memory and on at 0.
        {edited("wraps", image.firstLoadPhdr + 8, 4, 0xfffffff8), -1,
         "Error occured while reading file", true},
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
            if (LoopbackSend(fd, reply.data(), (int)reply.size()) != (int)reply.size())
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
        HostlinkRoutes();
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
        LinkForgetInput(client);
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
                       "link.cpp(N): receive error\n"
                       "link.cpp(N): select error\n"
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
