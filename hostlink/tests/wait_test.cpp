// The wait: the queue's packets going out, requests and their replies,
// sending against a slow or stopped peer, samples, the end of a quiet wait.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "link_fixture.h"
#include "testutil.h"

namespace {

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
    LoopbackSetOption(s, option, 16 * 1024);
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

// Replies that cannot go out are counted as well as weighed: a manager that
// stops reading while the target sends thousands of small requests (closes
// of a handle that names nothing, whose replies are 20 bytes) finds the
// wait handling no more of them once 32 replies wait, far below the byte
// bound; what it has not handled stays where it is.
TEST_F(Link, ReadingPausesAtThirtyTwoWaitingReplies)
{
    SmallBuffers(client, SO_SNDBUF);
    SmallBuffers(server, SO_RCVBUF);
    // Filled until nothing more is taken, also once what was in flight has
    // landed at the other end.
    std::string junk(4096, 'j');
    for (int sent = 1; sent > 0;) {
        sent = 0;
        while (NetSendSome(client, junk.data(), (int)junk.size()) > 0)
            sent++;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string requests;
    for (uint32_t i = 0; i < 2000; i++) {
        std::string body(12, '\0');
        PutLE32(&body[0], 2);
        PutLE32(&body[4], i);
        requests += Packet(PROTO_DRFP, body);
    }
    SendRaw(server, requests);
    SetWaitTimeout(1, 1);
    testing::internal::CaptureStdout();
    int r = 1, waits = 0;
    for (; waits < 100 && r > 0; waits++)
        r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    size_t queued = 0;
    for (List* l = QueueHead()->next; l != QueueHead(); l = l->next)
        queued++;
    EXPECT_EQ(32u, queued);
    EXPECT_EQ(-1, r) << "the reply that found no room for a whole wait";
    EXPECT_NE(std::string::npos, out.find("): send() failed\n")) << out;
    EXPECT_TRUE(LinkHasInput(client)) << "the rest is left unhandled";
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

// A parent may leave many descriptors open, so the connection's number can
// lie past what select can take.
TEST_F(Link, WaitTakesASocketNumberedPastTheSelectLimit)
{
    int high = LoopbackBeyondSelectLimit(client);
    if (high < 0)
        GTEST_SKIP() << "no descriptor past the select limit to be had";
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
    SetWaitTimeout(8, 1);
    if (!TestAlarm(1, NoteSignal))
        GTEST_SKIP() << "no timer signal here";
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    int r = MySelect((unsigned int)client);
    std::string out = testing::internal::GetCapturedStdout();
    TestAlarm(0, NoteSignal);
    EXPECT_EQ(0, r);
    EXPECT_NE(std::string::npos, out.find("): EINTR\n")) << out;
    EXPECT_LT(Seconds(t0), 5.0);
}

}  // namespace
