// Connections and the framing of received packets, against a peer the
// test plays over the loopback interface.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "diag.h"
#include "link_fixture.h"
#include "testutil.h"

namespace {

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
    EXPECT_EQ(1, ParsePortText("1"));
    EXPECT_EQ(65535, ParsePortText("65535"));
    // Outside 1..65535 nothing is cut to 16 bits: no other port is reached.
    for (const char* bad : {"0", "abc", "", "-1", "65536", "70000", "99999", "4294975806",
                            "99999999999999999999999"})
        EXPECT_EQ(-1, ParsePortText(bad)) << bad;
}

TEST_F(Link, AddressTextsThatConnect)
{
    // Trailing letters are ignored; names are looked up.
    const std::string texts[] = {Addr(std::to_string(port) + "abc"),
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
        {"127.0.0.1:99999", "invalid port number"},
        // An IPv6 address is said to be one, before the failed lookup;
        // a name that only looks partly like one is not.
        {"::1", "only IPv4 addresses and host names are supported\nlink.cpp(N): gethostbyname"},
        {"[::1]:8510", "only IPv4 addresses and host names are supported\n"},
        {"[fe80::1%eth0]:1", "only IPv4 addresses and host names are supported\n"},
        {"2001:db8::7", "only IPv4 addresses and host names are supported\n"},
        {std::string(100, 'c') + ":9:10", "gethostbyname() fail\n"},
    };
    for (auto& c : cases) {
        testing::internal::CaptureStdout();
        int s = ConnectNet(&c.arg[0]);
        std::string out = BlankLineNumbers(testing::internal::GetCapturedStdout());
        EXPECT_EQ(-1, s) << c.arg.substr(0, 40);
        EXPECT_NE(std::string::npos, out.find(std::string("): ") + c.message))
            << c.arg.substr(0, 40) << " printed " << out;
        EXPECT_EQ(0u, out.find("link.cpp(")) << out;
        EXPECT_EQ(c.arg.find("::") != std::string::npos, out.find("IPv4") != std::string::npos)
            << out;
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

}  // namespace
