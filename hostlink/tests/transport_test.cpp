// Connections, framing and the wait, against a peer the test plays over the
// loopback interface.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "deci2.h"
#include "diag.h"
#include "link.h"
#include "loopback.h"
#include "main.h"
#include "platform.h"
#include "state.h"

namespace {

std::string Packet(uint16_t proto, const std::string& body, int lengthOverride = -1)
{
    std::string p(8, '\0');
    uint16_t len = (uint16_t)(lengthOverride >= 0 ? lengthOverride : 8 + (int)body.size());
    MakeDeci2Hdr((DECI2_HDR*)&p[0], len, proto, NODE_HOST, NODE_HOST);
    return p + body;
}

std::string Ttyp(const std::string& text)
{
    return Packet(PROTO_TTYP, std::string(4, '\0') + text);
}

void* HeapPacket(uint16_t len, unsigned char tag)
{
    unsigned char* p = (unsigned char*)calloc(1, len);
    MakeDeci2Hdr((DECI2_HDR*)p, len, PROTO_SAMPLE, NODE_HOST, NODE_EE);
    p[8] = tag;
    return p;
}

// Whatever `s` receives within `seconds`, up to `want` bytes.
std::string ReadFor(int s, size_t want, int seconds)
{
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        int r = 0, w = 0;
        if (NetWait(s, 0, 1, &r, &w) <= 0 || !r)
            continue;
        char buf[256];
        size_t ask = want - got.size() < sizeof buf ? want - got.size() : sizeof buf;
        int n = NetRecv(s, buf, (int)ask);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    return got;
}

void SendRaw(int s, const std::string& data)
{
    ASSERT_EQ((int)data.size(), LoopbackSend(s, data.data(), (int)data.size()));
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The client end is the one the code under test uses; the test writes the
// manager's side on `server`.
class Link : public ::testing::Test {
protected:
    int listener = -1, client = -1, server = -1;
    uint16_t port = 0;

    void SetUp() override
    {
        listener = LoopbackListen(&port);
        ASSERT_GE(listener, 0);
        client = ConnectNet(Addr(std::to_string(port)).data());
        ASSERT_GE(client, 0);
        server = LoopbackAccept(listener);
        ASSERT_GE(server, 0);
        ASSERT_EQ(0, QueueCreate());
        HostlinkRoutes();
        SetWaitTimeout(2, 2);
        sampleProtoOpened = 0;
        terminationRequested = 0;
    }
    void TearDown() override
    {
        QueueDestroy();
        sampleProtoOpened = 0;
        terminationRequested = 0;
        if (server >= 0)
            NetClose(server);
        if (client >= 0)
            NetClose(client);
        NetClose(listener);
    }
    static std::string Addr(const std::string& portText) { return "127.0.0.1:" + portText; }
};

TEST(PortText, AddressSplitsAtTheFirstColon)
{
    char host[HOST_BUF_SIZE];
    const char* port = nullptr;
    ASSERT_EQ(0, SplitAddress("dev7:", host, sizeof host, &port));
    EXPECT_STREQ("dev7", host);
    EXPECT_STREQ("8510", port);
    ASSERT_EQ(0, SplitAddress("dev7", host, sizeof host, &port));
    EXPECT_STREQ("8510", port);
    ASSERT_EQ(0, SplitAddress("dev7:9:10", host, sizeof host, &port));
    EXPECT_STREQ("dev7", host);
    EXPECT_STREQ("9:10", port);
    char small[5];
    EXPECT_EQ(0, SplitAddress("abcd:1", small, sizeof small, &port));
    EXPECT_EQ(-1, SplitAddress("abcde:1", small, sizeof small, &port));
}

TEST(PortText, NumberRules)
{
    EXPECT_EQ(8510, ParsePortText("8510"));
    EXPECT_EQ(8510, ParsePortText("8510abc"));
    EXPECT_EQ(12, ParsePortText(" +12"));
    EXPECT_EQ(4464, ParsePortText("70000"));
    EXPECT_EQ(65535, ParsePortText("-1"));
    EXPECT_EQ(-1, ParsePortText("0"));
    EXPECT_EQ(-1, ParsePortText("abc"));
    EXPECT_EQ(-1, ParsePortText(""));
    // Low 16 bits all zero would be port 0.
    EXPECT_EQ(-1, ParsePortText("65536"));
}

TEST_F(Link, AddressTextsThatConnect)
{
    // Trailing letters are ignored; the port is taken modulo 65536; names
    // are looked up.
    const std::string texts[] = {Addr(std::to_string(port) + "abc"),
                                 Addr(std::to_string(port + 65536)),
                                 "localhost:" + std::to_string(port)};
    for (const std::string& t : texts) {
        std::string arg = t;
        int s = ConnectNet(&arg[0]);
        EXPECT_GE(s, 0) << t;
        if (s >= 0) {
            int a = LoopbackAccept(listener);
            EXPECT_GE(a, 0) << t;
            NetClose(a);
            NetClose(s);
        }
    }
}

TEST(ConnectNetFailures, EachReasonIsReportedInOrder)
{
    struct {
        std::string arg;
        const char* message;
    } cases[] = {
        {"127.0.0.1:0", "invalid port number"},
        {"127.0.0.1:x1", "invalid port number"},
        {"127.0.0.1:65536", "invalid port number"},
        {std::string(1025, 'a'), "argument larger than expect"},
        {std::string(1025, 'a') + ":8510", "argument larger than expect"},
        // At most 1024 characters go on to the lookup (which fails: labels
        // are 63 characters at most); a bad name is reported before a bad
        // port.
        {std::string(1024, 'a'), "gethostbyname() fail"},
        {std::string(100, 'b') + ":x", "gethostbyname() fail"},
    };
    for (auto& c : cases) {
        testing::internal::CaptureStdout();
        int s = ConnectNet(&c.arg[0]);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, s) << c.arg.substr(0, 40);
        EXPECT_NE(std::string::npos, out.find(std::string("): ") + c.message + "\n"))
            << c.arg.substr(0, 40) << " printed " << out;
        EXPECT_EQ(0u, out.find("link.cpp(")) << out;
    }
}

TEST_F(Link, PacketArrivingByteByByteIsReceivedWhole)
{
    std::string pkt = Ttyp("hello\r\n");
    std::thread peer([&] {
        for (char c : pkt) {
            LoopbackSend(server, &c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    peer.join();
    EXPECT_EQ(1, r);
    EXPECT_EQ("hello\n", out);
}

// Packets that arrive together are still handled one per wait, in order,
// each from where it lies, and what came in behind a packet on one
// connection waits there while another connection is served.
TEST_F(Link, PacketsArrivingTogetherAreHandledOnePerWait)
{
    std::string two = Ttyp("one") + Ttyp("two"), third = Ttyp("three");
    SendRaw(server, two + third.substr(0, 10));
    std::string other = "127.0.0.1:" + std::to_string(port);
    int client2 = ConnectNet(&other[0]);
    ASSERT_GE(client2, 0);
    int server2 = LoopbackAccept(listener);
    ASSERT_GE(server2, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    testing::internal::CaptureStdout();
    EXPECT_EQ(1, MySelect((unsigned int)client));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("one\n", out);
    SendRaw(server2, Ttyp("elsewhere"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, MySelect((unsigned int)client2));
    EXPECT_EQ(1, MySelect((unsigned int)client));
    SendRaw(server, third.substr(10));
    EXPECT_EQ(1, MySelect((unsigned int)client));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("elsewhere\ntwo\nthree\n", out);
    NetClose(server2);
    NetClose(client2);
}

TEST_F(Link, PeerClosingMidPacketFailsTheWait)
{
    std::string pkt = Ttyp("cut short");
    SendRaw(server, pkt.substr(0, 13));
    NetClose(server);
    server = -1;
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, r);
    size_t a = out.find("): read() failed.\n");
    size_t b = out.find("): receive error\n");
    ASSERT_NE(std::string::npos, a) << out;
    ASSERT_NE(std::string::npos, b) << out;
    EXPECT_LT(a, b);
}

// A manager that stops partway through a packet but keeps the connection
// open must not hold the receive for ever: once begun, the whole packet has
// to arrive within the wait's timeout, however its pieces are spaced.
TEST_F(Link, PacketStalledPartwayFailsWithinTheTimeout)
{
    std::string pkt = Ttyp("stalled");
    auto reconnect = [&] {
        // The stream is out of step from here on: start a fresh one.
        NetClose(server);
        NetClose(client);
        client = ConnectNet(Addr(std::to_string(port)).data());
        ASSERT_GE(client, 0);
        server = LoopbackAccept(listener);
        ASSERT_GE(server, 0);
    };
    auto expectCutShort = [](const std::string& out, double took, double from, double to) {
        size_t a = out.find("): read() failed.\n");
        size_t b = out.find("): receive error\n");
        ASSERT_NE(std::string::npos, a) << out;
        ASSERT_NE(std::string::npos, b) << out;
        EXPECT_LT(a, b);
        EXPECT_GE(took, from);
        EXPECT_LT(took, to);
    };
    for (size_t cut : {size_t(3), size_t(8), size_t(13)}) {
        SendRaw(server, pkt.substr(0, cut));
        auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStdout();
        int r = MySelect((unsigned int)client);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, r) << "cut at " << cut;
        expectCutShort(out, Seconds(t0), 1.5, 5.0);
        reconnect();
    }

    // Drip-fed: every byte comes well within the timeout of the one before,
    // but the packet as a whole does not.
    std::thread drip([&] {
        for (size_t i = 0; i < pkt.size(); i++) {
            LoopbackSend(server, &pkt[i], 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    double took = Seconds(t0);
    drip.join();
    EXPECT_EQ(-1, r);
    expectCutShort(out, took, 1.5, 3.5);
    reconnect();

    // Pieces that all come within the timeout make a whole packet.
    std::thread peer([&] {
        SendRaw(server, pkt.substr(0, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        SendRaw(server, pkt.substr(5, 6));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        SendRaw(server, pkt.substr(11));
    });
    testing::internal::CaptureStdout();
    r = MySelect((unsigned int)client);
    out = testing::internal::GetCapturedStdout();
    peer.join();
    EXPECT_EQ(1, r);
    EXPECT_EQ("stalled\n", out);
}

TEST_F(Link, TerminationRequestEndsTheWaitForTheRestOfAPacket)
{
    SetWaitTimeout(8, 8);
    SendRaw(server, Ttyp("never finished").substr(0, 10));
    std::thread stop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        terminationRequested = 1;
    });
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    stop.join();
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, out.find("): read() failed.\n")) << out;
    EXPECT_LT(Seconds(t0), 4.0);
}

TEST_F(Link, RoutingOfEmptyUnknownAndMalformedPackets)
{
    // A bare header is a whole packet with an empty body.
    SendRaw(server, Packet(PROTO_TTYP, ""));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, MySelect((unsigned int)client));
    EXPECT_EQ("\n", testing::internal::GetCapturedStdout());

    SendRaw(server, Packet(0x0002, ""));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, MySelect((unsigned int)client));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("): unknown packet received\n")) << out;
    EXPECT_NE(std::string::npos, out.find("): receive error\n")) << out;

    // A length shorter than the header itself cannot be framed.
    SendRaw(server, Packet(PROTO_TTYP, "", 7));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, MySelect((unsigned int)client));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("): read() failed\n")) << out;
}

TEST(ConsoleText, LinesAreKeptWholeAndLiteral)
{
    struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"abc\r\n", "abc\n"},
        {"abc", "abc\n"},
        {"one\r\ntwo\r\n", "one\ntwo\n"},
        {"lone\rcr", "lone\ncr\n"},
        {"unix\n", "unix\n"},
        {"100%s %d %n", "100%s %d %n\n"},
        {std::string("before\0after", 12), "before\n"},
        {"", "\n"},
    };
    for (auto& c : cases) {
        testing::internal::CaptureStdout();
        PrintConsoleText(c.in.data(), c.in.size());
        EXPECT_EQ(c.out, testing::internal::GetCapturedStdout()) << c.in;
    }

    // Far longer than any diagnostic buffer, and nothing is lost.
    std::string in, want;
    for (int i = 0; i < 300; i++) {
        std::string line = "line " + std::to_string(i) + std::string(i % 37, '=');
        in += line + "\r\n";
        want += line + "\n";
    }
    in += std::string(5000, 'z');
    want += std::string(5000, 'z') + "\n";
    testing::internal::CaptureStdout();
    PrintConsoleText(in.data(), in.size());
    EXPECT_EQ(want, testing::internal::GetCapturedStdout());
}

TEST_F(Link, QueuedPacketsGoOutInOrderAndAnUnansweredRequestBlocks)
{
    ASSERT_EQ(0, AddPacket(HeapPacket(12, 'a'), PKT_SEND_ONLY));
    ASSERT_EQ(0, AddPacket(HeapPacket(12, 'b'), PKT_SEND_ONLY));
    ASSERT_EQ(0, AddPacket(HeapPacket(16, 'c'), PKT_SEND_REQUEST));
    ASSERT_EQ(0, AddPacket(HeapPacket(12, 'd'), PKT_SEND_ONLY));

    for (int i = 0; i < 3; i++)
        EXPECT_EQ(1, MySelect((unsigned int)client));
    std::string got = ReadFor(server, 40, 2);
    ASSERT_EQ(40u, got.size());
    EXPECT_EQ('a', got[8]);
    EXPECT_EQ('b', got[20]);
    EXPECT_EQ('c', got[32]);

    PKT* head = GetHeadPktByStat(PKT_AWAITING_REPLY);
    ASSERT_NE(nullptr, head);
    EXPECT_EQ('c', ((unsigned char*)head->deci2)[8]);
    // Nothing behind the request leaves while its reply is missing.
    SetWaitTimeout(1, 1);
    EXPECT_EQ(0, MySelect((unsigned int)client));
    EXPECT_EQ("", ReadFor(server, 1, 1));
}

TEST_F(Link, RequestExchangeFailures)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, SendAndWaitReply(nullptr, (unsigned int)client));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    // A silent peer: the request goes out, the wait ends, the request stays.
    SetWaitTimeout(1, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, SendAndWaitReply(HeapPacket(10, 'r'), (unsigned int)client));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("): timeout\n")) << out;
    EXPECT_EQ(10u, ReadFor(server, 10, 2).size());
    EXPECT_NE(nullptr, GetHeadPktByStat(PKT_AWAITING_REPLY));
}

TEST_F(Link, FailedSendIsReportedAndThePacketStaysQueued)
{
    // Unread data makes the close a reset, after which sends fail.
    SendRaw(client, std::string(8, 'x'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    LoopbackAbort(server);
    server = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    ASSERT_EQ(0, AddPacket(HeapPacket(12, 's'), PKT_SEND_REQUEST));
    PKT* head = GetHeadPktByStat(PKT_SEND_REQUEST);
    testing::internal::CaptureStdout();
    int r = SendPacket(client, head);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, out.find("): send() failed\n")) << out;
    EXPECT_EQ(head, GetHeadPktByStat(PKT_SEND_REQUEST));
}

// Small socket buffers, so that a peer that does not read fills them soon.
void SmallBuffers(int s, int option)
{
    int size = 16 * 1024;
#ifdef _WIN32
    setsockopt((SOCKET)(unsigned int)s, SOL_SOCKET, option, (const char*)&size, sizeof size);
#else
    setsockopt(s, SOL_SOCKET, option, &size, sizeof size);
#endif
}

// A packet larger than the socket takes at once goes out in pieces as the
// manager makes room; a manager that stops taking it must not hold the
// program for ever, and a termination request ends the wait for room.
TEST_F(Link, SendingWaitsForRoomOnlyWithinTheTimeout)
{
    SmallBuffers(client, SO_SNDBUF);
    SmallBuffers(server, SO_RCVBUF);
    const int count = 40, size = 65535;

    // A slow reader: every byte arrives, each where it belongs. Every
    // packet's bytes tell their place, so a piece sent twice or skipped
    // shows.
    std::string want, got;
    std::thread reader([&] {
        char buf[4096];
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        while (got.size() < (size_t)count * size) {
            int n = NetRecv(server, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, (size_t)n);
            if (got.size() > (size_t)size && got.size() - (size_t)n <= (size_t)size)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    for (int i = 0; i < count; i++) {
        unsigned char* p = (unsigned char*)HeapPacket(size, 'a');
        for (int j = 9; j < size; j++)
            p[j] = (unsigned char)(j * 7 + j / 251 + i);
        want.append((const char*)p, (size_t)size);
        ASSERT_EQ(0, AddPacket(p, PKT_SEND_ONLY));
        ASSERT_EQ(size, SendPacket(client, GetHeadPktByStat(PKT_SEND_ONLY))) << i;
    }
    reader.join();
    ASSERT_EQ(want.size(), got.size());
    EXPECT_TRUE(want == got) << "the stream differs from byte "
                             << std::mismatch(want.begin(), want.end(), got.begin()).first -
                                    want.begin();

    // Nobody reads any more: the send fails once no room has come for the
    // whole timeout.
    auto t0 = std::chrono::steady_clock::now();
    int r = 0;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 2000 && r >= 0; i++) {
        ASSERT_EQ(0, AddPacket(HeapPacket(size, 'b'), PKT_SEND_ONLY));
        t0 = std::chrono::steady_clock::now();
        r = SendPacket(client, GetHeadPktByStat(PKT_SEND_ONLY));
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, out.find("): send() failed\n")) << out;
    EXPECT_GE(Seconds(t0), 1.5);
    EXPECT_LT(Seconds(t0), 5.0);
    ASSERT_NE(nullptr, GetHeadPktByStat(PKT_SEND_ONLY));

    SetWaitTimeout(8, 8);
    std::thread stop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        terminationRequested = 1;
    });
    t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    r = SendPacket(client, GetHeadPktByStat(PKT_SEND_ONLY));
    out = testing::internal::GetCapturedStdout();
    stop.join();
    EXPECT_EQ(-1, r);
    EXPECT_LT(Seconds(t0), 4.0);
}

// Samples ride on real traffic: one after a wait that received or sent a
// real packet, in the same call as a packet that expects no reply, never
// more than one queued, and none after a wait that only sent a sample.
TEST_F(Link, SamplesFollowRealTrafficOnly)
{
    const unsigned char sample[20] = {0x14, 0, 0, 0, 0x00, 0xE0, 'H', 'E', 1, 0,
                                      0,    0, 1, 0, 0,    0,    1,   0,   0, 0};
    auto queued = [] {
        size_t n = 0;
        for (List* l = QueueHead()->next; l != QueueHead(); l = l->next)
            n++;
        return n;
    };
    sampleProtoOpened = 1;
    SendRaw(server, Ttyp("up"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, MySelect((unsigned int)client));  // received; sample queued
    EXPECT_EQ(1, MySelect((unsigned int)client));  // sample sent, no other
    testing::internal::GetCapturedStdout();
    std::string got = ReadFor(server, 20, 2);
    ASSERT_EQ(20u, got.size());
    EXPECT_EQ(0, memcmp(sample, got.data(), 20));
    EXPECT_EQ(0u, queued());
    SetWaitTimeout(1, 1);
    EXPECT_EQ(0, MySelect((unsigned int)client));
    EXPECT_EQ("", ReadFor(server, 1, 1)) << "a quiet link stays quiet";

    // A reply and its sample leave in one wait.
    ASSERT_EQ(0, AddPacket(HeapPacket(12, 'r'), PKT_SEND_ONLY));
    EXPECT_EQ(1, MySelect((unsigned int)client));
    got = ReadFor(server, 32, 2);
    ASSERT_EQ(32u, got.size());
    EXPECT_EQ('r', got[8]);
    EXPECT_EQ(0, memcmp(sample, got.data() + 12, 20));
    EXPECT_EQ(0u, queued());

    // Behind a request awaiting its reply: one sample, however much arrives.
    ASSERT_EQ(0, AddPacket(HeapPacket(16, 'q'), PKT_SEND_REQUEST));
    EXPECT_EQ(1, MySelect((unsigned int)client));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; i++) {
        SendRaw(server, Ttyp("more"));
        EXPECT_EQ(1, MySelect((unsigned int)client));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(2u, queued());
    EXPECT_EQ(16u, ReadFor(server, 64, 1).size());
}

TEST_F(Link, TerminationRequestEndsAQuietWaitAtTheSliceEnd)
{
    SetWaitTimeout(6, 6);
    terminationRequested = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, MySelect((unsigned int)client));
    EXPECT_LT(Seconds(t0), 3.0);
}

#ifndef _WIN32
// A parent may leave many descriptors open, so the connection's number can
// lie past what select can take.
TEST_F(Link, WaitTakesASocketNumberedPastTheSelectLimit)
{
    struct rlimit rl;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &rl));
    if (rl.rlim_cur < FD_SETSIZE + 80) {
        rl.rlim_cur = rl.rlim_max < FD_SETSIZE + 80 ? rl.rlim_max : FD_SETSIZE + 80;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int high = FD_SETSIZE + 60;
    if (rl.rlim_cur <= (rlim_t)high || dup2(client, high) != high)
        GTEST_SKIP() << "no descriptor past " << FD_SETSIZE << " to be had";
    NetClose(client);
    client = high;
    SendRaw(server, Ttyp("high"));
    ASSERT_EQ(0, AddPacket(HeapPacket(12, 'h'), PKT_SEND_ONLY));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, MySelect((unsigned int)client));
    EXPECT_EQ(1, MySelect((unsigned int)client));
    EXPECT_EQ("high\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(12u, ReadFor(server, 12, 2).size());
}

void NoteSignal(int) {}

TEST_F(Link, SignalInterruptsTheWait)
{
    SysInstallSignal(SIGALRM, NoteSignal);
    SetWaitTimeout(8, 1);
    alarm(1);
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    alarm(0);
    EXPECT_EQ(0, r);
    EXPECT_NE(std::string::npos, out.find("): EINTR\n")) << out;
    EXPECT_LT(Seconds(t0), 5.0);
}
#endif

}  // namespace
