// The file server's replies byte for byte, on real files in a scratch
// directory: open, seek, read and close, stale handles, bad names, short
// and unknown requests.
#include <gtest/gtest.h>

#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "deci2.h"
#include "drfp.h"
#include "platform.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

Bytes Body(std::initializer_list<uint32_t> words)
{
    Bytes b(words.size() * 4);
    size_t i = 0;
    for (uint32_t w : words)
        PutLE32(&b[4 * i++], w);
    return b;
}

Bytes OpenReq(uint32_t seq, const std::string& name, bool terminated = true)
{
    Bytes b = Body({0, seq, 0});
    b.insert(b.end(), name.begin(), name.end());
    if (terminated)
        b.push_back(0);
    return b;
}

Bytes Pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (unsigned char)(i * 7 + i / 251);
    return b;
}

class Drfp : public ::testing::Test {
protected:
    fs::path oldDir, dir;
    Bytes five = Pattern(5000), big = Pattern(100000);

    void SetUp() override
    {
        ASSERT_EQ(QueueCreate(), 0);
        oldDir = fs::current_path();
        // Tests run as parallel processes whose heaps may look alike: the
        // process id keeps their directories apart.
        dir = fs::temp_directory_path() /
              ("drfp_test_" + std::to_string(TestPid()) + "_" +
               std::to_string((unsigned long)(uintptr_t)this));
        fs::create_directories(dir / "lv");
        fs::current_path(dir);
        Write("five.bin", five);
        Write("big.bin", big);
        Write("lv/one.bin", Bytes{'o', 'n', 'e'});
    }
    void TearDown() override
    {
        QueueDestroy();
        fs::current_path(oldDir);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static void Write(const char* name, const Bytes& b)
    {
        std::ofstream(name, std::ios::binary).write((const char*)b.data(), b.size());
    }

    // Runs the handler on exactly `body` (a read past it shows under the
    // address sanitizer) and returns its output, line numbers blanked.
    std::string Call(Bytes body)
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(DrfpHandler((char*)body.data(), (uint16_t)body.size()), 1);
        std::string out = testing::internal::GetCapturedStdout();
        return BlankLineNumbers(out);
    }
    // The queued reply (empty when there is none), taken off the queue.
    Bytes Take()
    {
        PKT* p = GetHeadPktByStat(~0);
        if (p == NULL)
            return Bytes();
        EXPECT_EQ(p->stat, PKT_SEND_ONLY);
        const unsigned char* b = (const unsigned char*)p->deci2;
        Bytes r(b, b + GetLE16(b));
        DelPacket(p);
        return r;
    }
    // Sends `body` and checks the reply's header, code and sequence number.
    Bytes Ask(Bytes body, uint32_t code, size_t length)
    {
        uint32_t seq = GetLE32(&body[4]);
        Call(body);
        Bytes r = Take();
        EXPECT_EQ(r.size(), length);
        if (r.size() < 20)
            return Bytes(24);
        EXPECT_EQ(Bytes(r.begin() + 2, r.begin() + 8),
                  (Bytes{0, 0, 0x20, 0x01, 'H', 'I'}));
        EXPECT_EQ(GetLE32(&r[8]), code);
        EXPECT_EQ(GetLE32(&r[12]), seq);
        return r;
    }
    uint32_t Open(const std::string& name)
    {
        Bytes r = Ask(OpenReq(1, name), 1, 24);
        EXPECT_EQ(GetLE32(&r[16]), 0u) << name;
        return GetLE32(&r[20]);
    }
};

TEST_F(Drfp, OpenSeekReadClose)
{
    EXPECT_EQ(Call(OpenReq(0, "five.bin")), "drfp.cpp(N): fopen(five.bin, \"rb\")\n");
    Bytes r = Take();
    ASSERT_EQ(r.size(), 24u);
    ASSERT_EQ(r, (Bytes{24, 0, 0, 0, 0x20, 0x01, 'H', 'I', 1, 0, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0, r[20], r[21], r[22], r[23]}));
    uint32_t h = GetLE32(&r[20]);
    ASSERT_NE(h, 0u);

    r = Ask(Body({8, 0xFFFFFFFF, h, 4000, 0}), 9, 24);
    EXPECT_EQ(GetLE32(&r[16]), 0u);
    EXPECT_EQ(GetLE32(&r[20]), 4000u);

    // 4096 wanted, 1000 left: a short reply, then an empty one.
    r = Ask(Body({4, 7, h, 4096}), 5, 1024);
    EXPECT_EQ(GetLE32(&r[16]), 0u);
    EXPECT_EQ(GetLE32(&r[20]), 1000u);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()), Bytes(five.begin() + 4000, five.end()));
    r = Ask(Body({4, 8, h, 4096}), 5, 24);
    EXPECT_EQ(GetLE32(&r[16]), 0u);
    EXPECT_EQ(GetLE32(&r[20]), 0u);

    r = Ask(Body({2, 9, h}), 3, 20);
    EXPECT_EQ(GetLE32(&r[16]), 0u);

    // Closed, never opened, or 0: no file behind the handle.
    for (uint32_t bad : {h, 0u, 0x12345u}) {
        EXPECT_EQ(GetLE32(&Ask(Body({2, 10, bad}), 3, 20)[16]), 9u);
        EXPECT_EQ(GetLE32(&Ask(Body({8, 11, bad, 0, 0}), 9, 24)[16]), 9u);
        r = Ask(Body({4, 12, bad, 100}), 5, 24);
        EXPECT_EQ(GetLE32(&r[16]), 5u);
        EXPECT_EQ(GetLE32(&r[20]), 0u);
    }
}

// The end of a session closes what the target left open: its handles then
// name nothing, and the files can be opened afresh.
TEST_F(Drfp, ClosingAllForgetsEveryHandle)
{
    uint32_t a = Open("five.bin"), b = Open("big.bin");
    DrfpCloseAll();
    for (uint32_t h : {a, b}) {
        Bytes r = Ask(Body({4, 1, h, 10}), 5, 24);
        EXPECT_EQ(GetLE32(&r[16]), 5u);
        EXPECT_EQ(GetLE32(&Ask(Body({2, 2, h}), 3, 20)[16]), 9u);
    }
    uint32_t c = Open("five.bin");
    Bytes r = Ask(Body({4, 3, c, 4}), 5, 28);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()), Bytes(five.begin(), five.begin() + 4));
    DrfpCloseAll();
}

TEST_F(Drfp, ReadsAreAnsweredWithAtMost32KiB)
{
    uint32_t h = Open("big.bin");
    Bytes r = Ask(Body({4, 1, h, 100000}), 5, 32792);
    EXPECT_EQ(GetLE32(&r[20]), 32768u);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()), Bytes(big.begin(), big.begin() + 32768));
    // The count is unsigned: the largest value is cut, not taken as negative.
    r = Ask(Body({4, 2, h, 0xFFFFFFFF}), 5, 32792);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()),
              Bytes(big.begin() + 32768, big.begin() + 65536));
    Ask(Body({2, 3, h}), 3, 20);
}

TEST_F(Drfp, SeekBasesAndLimits)
{
    uint32_t h = Open("five.bin");
    struct {
        uint32_t offset, base, result, pos;
    } cases[] = {
        {0, 2, 0, 5000},          {0xFFFFFFF6, 1, 0, 4990},  // 10 back
        {10, 7, 0, 10},           {0xFFFFFFFF, 0, 9, 0},     // before the start
        {0xFFFFFF9C, 1, 9, 0},    {0xFFFFEC77, 2, 9, 0},
        // The last position a reply can carry, and one past it, which is
        // refused and leaves the position where it was.
        {0x7FFFFFFF, 0, 0, 0x7FFFFFFF}, {1, 1, 9, 0},        {0, 1, 0, 0x7FFFFFFF},
        // Past it from the current position or from the end: the same.
        {10, 0, 0, 10},           {0x7FFFFFFF, 1, 9, 0},     {0x7FFFFFFF, 2, 9, 0},
    };
    for (auto& c : cases) {
        Bytes r = Ask(Body({8, 1, h, c.offset, c.base}), 9, 24);
        EXPECT_EQ(GetLE32(&r[16]), c.result) << c.offset << " " << c.base;
        if (c.result == 0) {
            EXPECT_EQ(GetLE32(&r[20]), c.pos) << c.offset << " " << c.base;
        }
    }
    // A failed seek leaves the position where it was.
    Bytes r = Ask(Body({4, 2, h, 4}), 5, 28);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()), Bytes(five.begin() + 10, five.begin() + 14));
    Ask(Body({2, 3, h}), 3, 20);
}

TEST_F(Drfp, NamesThatCannotBeOpened)
{
    Bytes r = Ask(OpenReq(4, "missing.bin"), 1, 24);
    EXPECT_EQ(GetLE32(&r[16]), 2u);
    EXPECT_EQ(GetLE32(&r[20]), 0u);
    EXPECT_EQ(Call(OpenReq(4, "missing.bin")),
              "drfp.cpp(N): fopen(missing.bin, \"rb\")\n"
              "drfp.cpp(N): missing.bin - file not found\n");
    Take();

    // 259 characters still fit the name buffer; 260 do not.
    std::string n259(259, 'n');
    EXPECT_EQ(Call(OpenReq(5, n259)), "drfp.cpp(N): fopen(" + n259 +
                                          ", \"rb\")\ndrfp.cpp(N): " + n259 +
                                          " - file not found\n");
    EXPECT_EQ(GetLE32(&Take()[16]), 2u);
    EXPECT_EQ(Call(OpenReq(6, n259 + "n")), "drfp.cpp(N): file name too long\n");
    EXPECT_EQ(GetLE32(&Take()[16]), 2u);

    // The name must end inside the packet, even when the file exists.
    for (Bytes body : {OpenReq(7, "five.bin", false), Body({0, 7}), Body({0, 7, 0})}) {
        EXPECT_EQ(Call(body), "drfp.cpp(N): file name not terminated\n");
        r = Take();
        EXPECT_EQ(GetLE32(&r[12]), 7u);
        EXPECT_EQ(GetLE32(&r[16]), 2u);
        EXPECT_EQ(GetLE32(&r[20]), 0u);
    }

    // A directory is no file to read.
    EXPECT_EQ(Call(OpenReq(8, "lv")),
              "drfp.cpp(N): fopen(lv, \"rb\")\ndrfp.cpp(N): lv - file not found\n");
    EXPECT_EQ(GetLE32(&Take()[16]), 2u);

    // Neither is a FIFO: opening one would wait for a writer that never
    // comes and stop the whole link. A device is refused the same way.
    // (Windows has neither by these names.)
    if (kTestHasFifos) {
        ASSERT_TRUE(TestMakeFifo("pipe"));
        for (const char* name : {"pipe", "/dev/null"}) {
            EXPECT_EQ(Call(OpenReq(9, name)), std::string("drfp.cpp(N): fopen(") + name +
                                                  ", \"rb\")\ndrfp.cpp(N): " + name +
                                                  " - file not found\n");
            r = Take();
            EXPECT_EQ(GetLE32(&r[16]), 2u) << name;
            EXPECT_EQ(GetLE32(&r[20]), 0u) << name;
        }
    }

    // Thousands of them leave no descriptor behind, and an existing file
    // still opens after all that.
    std::vector<std::string> notFiles = {"lv"};
    if (kTestHasFifos)
        notFiles.push_back("pipe");
    long before = TestOpenDescriptors();
    for (int i = 0; i < 2000; i++) {
        for (const std::string& name : notFiles) {
            Call(OpenReq(10, name));
            EXPECT_EQ(GetLE32(&Take()[16]), 2u);
        }
    }
    EXPECT_EQ(TestOpenDescriptors(), before);
    Ask(Body({2, 8, Open("five.bin")}), 3, 20);
}

// With a fence, a name is served only when what the system resolves it to
// lies below the fence: a name inside, also written as an absolute name or
// through a link or a ".." that stays inside; nothing outside, whether by
// "..", by a link leading out (relative or absolute) or by an absolute
// name of the outside file. Refused like a missing file. The same where
// the kernel's own resolution is missing and the fence walks the name, and
// neither way leaves a descriptor behind.
TEST_F(Drfp, FenceServesOnlyWhatLiesBelowIt)
{
    fs::create_directories(dir / "lv" / "sub");
    Write("lv/sub/deep.bin", Bytes{'d', 'e', 'e', 'p'});
    std::string outside = (dir / "five.bin").string();
    bool links = TestMakeLink("../five.bin", "lv/up") &&
                 TestMakeLink(outside.c_str(), "lv/abs") && TestMakeLink("sub/deep.bin", "lv/in") &&
                 TestMakeLink("sub/..", "lv/here") && TestMakeLink("loop", "lv/loop");
    struct Case {
        std::string name;
        int size;  // bytes served; -1: not found
        bool link;
    } cases[] = {
        {"one.bin", 3, false},           {"/one.bin", 3, false},
        {"sub/../one.bin", 3, false},    {"sub\\deep.bin", 4, false},
        {"../five.bin", -1, false},      {"sub/../../five.bin", -1, false},
        {"/../five.bin", -1, false},     {outside, -1, false},
        {"", -1, false},                 {"sub/", -1, false},
        {"one.bin/", -1, false},         {"in", 4, true},
        {"here/one.bin", 3, true},       {"up", -1, true},
        {"abs", -1, true},               {"loop", -1, true},
        {"here/../five.bin", -1, true},
    };
    ASSERT_EQ(FileSetFence("no-such-dir"), -1);
    ASSERT_EQ(FileSetFence("five.bin"), -1);
    for (int walk : {0, 1}) {
        ASSERT_EQ(FileSetFence("lv"), 0);
        FileFenceByWalk(walk);
        long before = TestOpenDescriptors();
        for (const Case& c : cases) {
            if (c.link && !links)
                continue;
            SCOPED_TRACE(c.name + (walk ? " (walked)" : ""));
            Bytes r = Ask(OpenReq(1, c.name), 1, 24);
            uint32_t h = GetLE32(&r[20]);
            EXPECT_EQ(GetLE32(&r[16]), c.size < 0 ? 2u : 0u);
            if (h != 0) {
                EXPECT_EQ(GetLE32(&Ask(Body({4, 2, h, 100}), 5, 24 + (size_t)c.size)[20]),
                          (uint32_t)c.size);
                Ask(Body({2, 3, h}), 3, 20);
            }
        }
        EXPECT_EQ(TestOpenDescriptors(), before);
    }
    FileFenceByWalk(0);
    ASSERT_EQ(FileSetFence(NULL), 0);
    // Without a fence the target reaches the same file as before.
    Ask(Body({2, 4, Open("lv/../five.bin")}), 3, 20);
}

// The target's names are bytes: a name in UTF-8 names the file of that
// name; on Windows a name that is not UTF-8 is read in the ANSI code page
// (here: é as the single byte 0xE9 of code page 1252), elsewhere it is a
// name of its own.
TEST_F(Drfp, NamesFromTheTargetInUtf8OrTheAnsiCodePage)
{
    const std::string utf8 = "caf\xc3\xa9 \xe6\x97\xa5.bin";
    std::ofstream(dir / fs::u8path(utf8), std::ios::binary) << "utf";
    EXPECT_EQ(Call(OpenReq(1, utf8)), "drfp.cpp(N): fopen(" + utf8 + ", \"rb\")\n");
    uint32_t h = GetLE32(&Take()[20]);
    ASSERT_NE(h, 0u);
    Ask(Body({2, 2, h}), 3, 20);

    std::ofstream(dir / fs::u8path("caf\xc3\xa9.bin"), std::ios::binary) << "x";
    std::string out = Call(OpenReq(3, "caf\xe9.bin"));
    Bytes r = Take();
    if (kTestNamesAreBytes) {
        EXPECT_EQ(GetLE32(&r[16]), 2u);
        EXPECT_EQ(out, "drfp.cpp(N): fopen(caf\xe9.bin, \"rb\")\n"
                       "drfp.cpp(N): caf\xe9.bin - file not found\n");
    } else if (TestAnsiCodePage() == 1252) {
        EXPECT_EQ(GetLE32(&r[16]), 0u);
        EXPECT_EQ(out, "drfp.cpp(N): fopen(caf\xc3\xa9.bin, \"rb\")\n");
        Ask(Body({2, 4, GetLE32(&r[20])}), 3, 20);
    }
}

TEST_F(Drfp, EitherSeparatorNamesTheSameFile)
{
    // Shown as the host opens it, with the host's own separator.
    const std::string shown =
        std::string("drfp.cpp(N): fopen(lv") + FILE_SEPARATOR + "one.bin, \"rb\")\n";
    for (const char* name : {"lv/one.bin", "lv\\one.bin"}) {
        EXPECT_EQ(Call(OpenReq(1, name)), shown);
        Bytes r = Take();
        ASSERT_EQ(GetLE32(&r[16]), 0u) << name;
        uint32_t h = GetLE32(&r[20]);
        EXPECT_EQ(GetLE32(&Ask(Body({4, 2, h, 10}), 5, 27)[20]), 3u);
        Ask(Body({2, 3, h}), 3, 20);
    }
}

TEST_F(Drfp, EachOpenHasItsOwnHandleAndPosition)
{
    std::vector<uint32_t> hs;
    for (int i = 0; i < 64; i++)
        hs.push_back(Open("five.bin"));
    for (size_t i = 0; i < hs.size(); i++) {
        EXPECT_NE(hs[i], 0u);
        for (size_t j = 0; j < i; j++)
            EXPECT_NE(hs[i], hs[j]);
    }
    // The table is full: refused, nothing overwritten.
    EXPECT_EQ(Call(OpenReq(2, "five.bin")),
              "drfp.cpp(N): fopen(five.bin, \"rb\")\n"
              "drfp.cpp(N): five.bin - too many open files\n");
    EXPECT_EQ(GetLE32(&Take()[16]), 2u);

    Ask(Body({4, 3, hs[0], 100}), 5, 124);
    Bytes r = Ask(Body({4, 4, hs[1], 10}), 5, 34);
    EXPECT_EQ(Bytes(r.begin() + 24, r.end()), Bytes(five.begin(), five.begin() + 10));

    // A closed handle is not handed out again at once.
    Ask(Body({2, 5, hs[0]}), 3, 20);
    uint32_t again = Open("five.bin");
    EXPECT_NE(again, hs[0]);
    hs[0] = again;
    for (uint32_t h : hs)
        EXPECT_EQ(GetLE32(&Ask(Body({2, 6, h}), 3, 20)[16]), 0u);
}

TEST_F(Drfp, RepliesTheQueueRefusesAreDropped)
{
    uint32_t h = Open("five.bin");
    QueueDestroy();  // from here on every reply is refused
    EXPECT_EQ(Call(Body({8, 1, h, 0, 0})), "drfp.cpp(N): faild  to send packet\n");
    EXPECT_EQ(Call(Body({4, 2, h, 10})), "drfp.cpp(N): faild to send packet\n");
    // An open whose reply is lost must not keep its file: the target could
    // never close it.
    for (int i = 0; i < 70; i++)
        EXPECT_EQ(Call(OpenReq(3, "five.bin")), "drfp.cpp(N): fopen(five.bin, \"rb\")\n"
                                                "drfp.cpp(N): faild to send packet\n");
    ASSERT_EQ(QueueCreate(), 0);
    std::vector<uint32_t> hs;
    for (int i = 0; i < 63; i++)
        hs.push_back(Open("five.bin"));
    // The file whose replies were lost is still open.
    EXPECT_EQ(GetLE32(&Ask(Body({4, 4, h, 4}), 5, 28)[20]), 4u);
    hs.push_back(h);
    for (uint32_t x : hs)
        EXPECT_EQ(GetLE32(&Ask(Body({2, 5, x}), 3, 20)[16]), 0u);
}

TEST_F(Drfp, ShortUnknownAndIgnoredRequests)
{
    const std::string unknown = "drfp.cpp:(N) - Unknown DRFP message\n";
    // Code 6 needs no answer and says nothing.
    EXPECT_EQ(Call(Body({6})), "");
    EXPECT_EQ(Call(Body({6, 1, 2})), "");
    // No sequence number to answer with, or a code nobody sends.
    for (Bytes body : {Bytes{}, Bytes{0, 0}, Body({0}), Bytes{4, 0, 0, 0, 1, 0},
                       Body({10, 1}), Body({1, 1, 0, 0}), Body({0xFFFFFFFF, 1})})
        EXPECT_EQ(Call(body), unknown);
    EXPECT_TRUE(Take().empty());

    // Fields missing after the sequence number: answered as a failure, even
    // when the handle that is there names an open file.
    uint32_t h = Open("five.bin");
    EXPECT_EQ(GetLE32(&Ask(Body({8, 21, h, 0}), 9, 24)[16]), 9u);
    Bytes r = Ask(Body({4, 22, h}), 5, 24);
    EXPECT_EQ(GetLE32(&r[16]), 5u);
    EXPECT_EQ(GetLE32(&r[20]), 0u);
    EXPECT_EQ(GetLE32(&Ask(Body({2, 23}), 3, 20)[16]), 9u);
    EXPECT_EQ(GetLE32(&Ask(Body({2, 24, h}), 3, 20)[16]), 0u);
}

}  // namespace
