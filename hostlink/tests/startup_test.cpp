// The command line, the diagnostic line, the comment text, and how a run
// ends: usage, a failed connection, and a target that is already held.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "deci2.h"
#include "diag.h"
#include "link.h"
#include "loopback.h"
#include "main.h"
#include "platform.h"
#include "state.h"
#include "testutil.h"

namespace {

// Matches output that holds each of `parts`, in this order. Plain text, so
// the same expectation works with either platform's regular expressions.
class InOrder : public ::testing::MatcherInterface<const std::string&> {
public:
    explicit InOrder(std::vector<std::string> parts) : parts_(std::move(parts)) {}
    bool MatchAndExplain(const std::string& raw,
                         ::testing::MatchResultListener*) const override
    {
        // Text-mode streams on Windows end lines with CR LF.
        std::string out;
        for (char c : raw)
            if (c != '\r')
                out += c;
        size_t at = 0;
        for (auto& p : parts_) {
            at = out.find(p, at);
            if (at == std::string::npos)
                return false;
            at += p.size();
        }
        return true;
    }
    void DescribeTo(std::ostream* os) const override
    {
        *os << "holds in order:";
        for (auto& p : parts_)
            *os << " [" << p << "]";
    }

private:
    std::vector<std::string> parts_;
};

::testing::Matcher<const std::string&> Holds(std::vector<std::string> parts)
{
    return ::testing::MakeMatcher(new InOrder(std::move(parts)));
}

int RunMain(std::vector<std::string> args)
{
    static std::vector<std::string> keep;
    static std::vector<char*> av;
    keep = args;
    av.clear();
    for (auto& a : keep)
        av.push_back(&a[0]);
    av.push_back(nullptr);
    TestStdoutToStderr();
    return HostlinkMain((int)keep.size(), av.data());
}

TEST(CommandLine, OptionsFileNameAndProgramArguments)
{
    char env[] = "envhost:1";
    // Kept alive after each call: the result points into the vector.
    std::vector<std::string> store;
    std::vector<char*> av;
    auto parse = [&](std::vector<std::string> v, HOSTLINK_ARGS* a) {
        store = v;
        av.clear();
        for (auto& s : store)
            av.push_back(&s[0]);
        av.push_back(nullptr);
        return HostlinkParseArgs((int)store.size(), av.data(), env, a);
    };
    HOSTLINK_ARGS a;

    ASSERT_EQ(0, parse({"hl", "prog.elf"}, &a));
    EXPECT_STREQ("envhost:1", a.address);
    EXPECT_STREQ("prog.elf", a.filename);
    EXPECT_EQ(0, a.nargs);
    EXPECT_EQ(nullptr, a.args);
    EXPECT_EQ(0, a.resetIfConnected);

    // The last -d wins over the one before and over the environment; after
    // the file name even dashes are the program's.
    ASSERT_EQ(0, parse({"hl", "-d", "one", "-kickme", "-d", "two:9", "p", "-d", "-x"}, &a));
    EXPECT_STREQ("two:9", a.address);
    EXPECT_EQ(1, a.resetIfConnected);
    EXPECT_STREQ("p", a.filename);
    ASSERT_EQ(2, a.nargs);
    EXPECT_STREQ("-d", a.args[0]);
    EXPECT_STREQ("-x", a.args[1]);

    char hl[] = "hl", f[] = "f";
    char* bare[] = {hl, f, nullptr};
    ASSERT_EQ(0, HostlinkParseArgs(2, bare, nullptr, &a));
    EXPECT_EQ(nullptr, a.address);

    // -trace and -root take the argument after them, as -d does.
    ASSERT_EQ(0, parse({"hl", "-trace", "-", "-root", "/srv", "p", "-root", "x"}, &a));
    EXPECT_STREQ("-", a.trace);
    EXPECT_STREQ("/srv", a.root);
    EXPECT_STREQ("p", a.filename);
    ASSERT_EQ(2, a.nargs);
    EXPECT_STREQ("-root", a.args[0]);
    ASSERT_EQ(0, parse({"hl", "p"}, &a));
    EXPECT_EQ(nullptr, a.trace);
    EXPECT_EQ(nullptr, a.root);

    EXPECT_EQ(-1, parse({"hl", "-trace"}, &a));
    EXPECT_EQ(-1, parse({"hl", "-root", "d"}, &a));
    EXPECT_EQ(-1, parse({"hl", "-d"}, &a));
    EXPECT_EQ(-1, parse({"hl", "-kickme"}, &a));
    EXPECT_EQ(-1, parse({"hl", "-kick", "f"}, &a));
    EXPECT_EQ(-1, parse({"hl", "-", "f"}, &a));
}

TEST(CommandLine, ProgramNameIsTheTextAfterTheLastSlash)
{
    char a[] = "/usr/local/bin/hostlink";
    SetProgramName(a);
    EXPECT_STREQ("hostlink", ProgramName());
    char b[] = "C:\\tools\\hostlink.exe";
    SetProgramName(b);
    EXPECT_STREQ("C:\\tools\\hostlink.exe", ProgramName());
}

TEST(Diagnostics, CarriageReturnEndsTheTextAndLongLinesAreCut)
{
    EXPECT_STREQ("main.cpp(1): half\n", _dbsprintf("%s(%d): %s\n", "main.cpp", 1, "half\rway"));
    EXPECT_STREQ("a\n", _dbsprintf("%s", "a\r\n\r\n"));
    EXPECT_STREQ("100% sure\n", _dbsprintf("%s\n", "100% sure"));

    std::string huge(2000, 'q');
    char* t = _dbsprintf("%s(%d): %s\n", "x.cpp", 7, huge.c_str());
    EXPECT_EQ((size_t)DBERR_SIZE - 1, strlen(t));
    EXPECT_EQ('\n', t[DBERR_SIZE - 2]);
    EXPECT_EQ(0, strncmp(t, "x.cpp(7): qqq", 13));

    EXPECT_STREQ("main.cpp", DbFileName("/build/machine/src/hostlink/main.cpp"));
    EXPECT_STREQ("netmp.cpp", DbFileName("C:\\src\\hostlink\\netmp.cpp"));
    EXPECT_STREQ("dcmp.cpp", DbFileName("dcmp.cpp"));

    // Printed literally: a '%' in a quoted text stays as it is.
    testing::internal::CaptureStdout();
    DBG_PRINTF("%s(%d): target owned by %s\n", "@%s%n, Norvane hostlink");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("startup_test.cpp(")) << out;
    EXPECT_NE(std::string::npos, out.find("): target owned by @%s%n, Norvane hostlink\n")) << out;
}

TEST(Diagnostics, CommentNamesThisHostAndIsCutToItsBuffer)
{
    snprintf(HostName(), TEXT_BUF_SIZE, "%s", "box7");
    EXPECT_STREQ("@box7, Norvane hostlink", MakeComment());

    std::string longName(TEXT_BUF_SIZE - 1, 'h');
    snprintf(HostName(), TEXT_BUF_SIZE, "%s", longName.c_str());
    std::string c = MakeComment();
    EXPECT_EQ((size_t)TEXT_BUF_SIZE - 1, c.size());
    EXPECT_EQ("@hhh", c.substr(0, 4));
    // Every call cuts the same way, so the comparison with an owner text
    // that came back from the manager still matches.
    EXPECT_EQ(c, std::string(MakeComment()));
    HostName()[0] = '\0';
}

TEST(RunEnds, UsageCasesExitWithOne)
{
    const std::vector<std::vector<std::string>> cases = {
        {"/opt/bin/hostlink"},
        {"/opt/bin/hostlink", "-d"},
        {"/opt/bin/hostlink", "-kickme"},
        {"/opt/bin/hostlink", "-q", "prog.elf"},
        {"/opt/bin/hostlink", "-d", "127.0.0.1:1"},
    };
    for (auto& c : cases)
        EXPECT_EXIT(RunMain(c), ::testing::ExitedWithCode(1),
                    Holds({"main.cpp(", "): Usage: hostlink [-d <host>[:<port>]] [-kickme] "
                                        "<filename> [<args>*]\n"}))
            << c.size();
}

TEST(RunEnds, FailedConnectionExitsWithMinusOne)
{
    uint16_t port = 0;
    int l = LoopbackListen(&port);
    ASSERT_GE(l, 0);
    NetClose(l);  // nothing listens there now
    std::string addr = "127.0.0.1:" + std::to_string(port);
    EXPECT_EXIT(RunMain({"hostlink", "-d", addr, "prog.elf"}),
                ::testing::ExitedWithCode(kExitMinusOne), Holds({"): connect() fail\n"}));
    EXPECT_EXIT(RunMain({"hostlink", "-d", "127.0.0.1:0", "prog.elf"}),
                ::testing::ExitedWithCode(kExitMinusOne), Holds({"): invalid port number\n"}));
}

// ---- a manager that answers the NETMP requests of the run's first steps ----

struct ManagerScript {
    std::string owner;      // empty: the target is free
    int resetResult = 0;    // result byte of the reset reply
};

bool ReadPacket(int s, std::string* pkt)
{
    unsigned char hdr[8];
    int got = 0;
    while (got < 8) {
        int n = NetRecv(s, hdr + got, 8 - got);
        if (n <= 0)
            return false;
        got += n;
    }
    int len = GetLE16(hdr);
    pkt->assign((char*)hdr, 8);
    while ((int)pkt->size() < len) {
        char buf[512];
        int want = len - (int)pkt->size();
        int n = NetRecv(s, buf, want < 512 ? want : 512);
        if (n <= 0)
            return false;
        pkt->append(buf, (size_t)n);
    }
    return true;
}

void Reply(int s, const std::string& body)
{
    std::string p(8, '\0');
    MakeDeci2Hdr((DECI2_HDR*)&p[0], (uint16_t)(8 + body.size()), PROTO_NETMP, NODE_HOST,
                 NODE_HOST);
    p += body;
    LoopbackSend(s, p.data(), (int)p.size());
}

void Manager(int listener, ManagerScript script)
{
    int c[3];
    for (int i = 0; i < 3; i++)
        c[i] = LoopbackAccept(listener);
    for (;;) {
        std::string pkt;
        if (!ReadPacket(c[0], &pkt))
            return;
        unsigned char code = (unsigned char)pkt[8];
        if (code == 0x06) {
            if (script.owner.empty()) {
                Reply(c[0], std::string("\x07\x00\x00\x00", 4));
            } else {
                std::string body("\x07\x00", 2);
                body += std::string(10, '\x55') + script.owner + '\0';
                Reply(c[0], body);
            }
        } else if (code == 0x02) {
            Reply(c[0], std::string("\x03", 1) + (char)script.resetResult);
        } else {
            Reply(c[0], std::string(1, (char)(code + 1)) + '\0');
        }
    }
}

void RunAgainstManager(ManagerScript script, std::vector<std::string> options)
{
    uint16_t port = 0;
    int l = LoopbackListen(&port);
    if (l < 0)
        exit(99);
    std::thread(Manager, l, script).detach();
    std::vector<std::string> args = {"hostlink", "-d", "127.0.0.1:" + std::to_string(port)};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("prog.elf");
    RunMain(args);
}

std::string OwnComment()
{
    char host[TEXT_BUF_SIZE];
    uint16_t v;
    NetStartup(0x101, &v);
    if (LinkHostName(host, (int)sizeof host) != 0)
        return "";
    return std::string("@") + host + ", Norvane hostlink";
}

TEST(RunEnds, TargetHeldByAnotherIsAFailure)
{
    ManagerScript s;
    s.owner = "@elsewhere %s, Norvane hostlink";
    EXPECT_EXIT(RunAgainstManager(s, {}), ::testing::ExitedWithCode(kExitMinusOne),
                Holds({"main.cpp(", "): target owned by @elsewhere %s, Norvane hostlink\n"}));
}

TEST(RunEnds, TargetAlreadyHeldHere)
{
    ManagerScript s;
    s.owner = OwnComment();
    ASSERT_FALSE(s.owner.empty());
    EXPECT_EXIT(RunAgainstManager(s, {}), ::testing::ExitedWithCode(kExitMinusOne),
                Holds({"): you're already connected\n"}));
    EXPECT_EXIT(RunAgainstManager(s, {"-kickme"}), ::testing::ExitedWithCode(0),
                Holds({"Target reset.\n", "): you're already connected - reset sent\n"}));
    s.resetResult = 1;
    EXPECT_EXIT(RunAgainstManager(s, {"-kickme"}), ::testing::ExitedWithCode(kExitMinusOne),
                Holds({"target reset failed\n", "): you're already connected - reset sent\n"}));
}

}  // namespace
