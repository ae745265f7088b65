// What the transport and wait tests share: packets built as the manager
// would send them, reading what the code under test sent, and a fixture
// with one connection made by the code under test to a peer the test plays
// over the loopback interface.
#ifndef HOSTLINK_TESTS_LINK_FIXTURE_H
#define HOSTLINK_TESTS_LINK_FIXTURE_H

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>

#include "deci2.h"
#include "link.h"
#include "loopback.h"
#include "main.h"
#include "platform.h"
#include "state.h"

inline std::string Packet(uint16_t proto, const std::string& body, int lengthOverride = -1)
{
    std::string p(8, '\0');
    uint16_t len = (uint16_t)(lengthOverride >= 0 ? lengthOverride : 8 + (int)body.size());
    MakeDeci2Hdr((DECI2_HDR*)&p[0], len, proto, NODE_HOST, NODE_HOST);
    return p + body;
}

inline std::string Ttyp(const std::string& text)
{
    return Packet(PROTO_TTYP, std::string(4, '\0') + text);
}

inline void* HeapPacket(uint16_t len, unsigned char tag)
{
    unsigned char* p = (unsigned char*)calloc(1, len);
    MakeDeci2Hdr((DECI2_HDR*)p, len, PROTO_SAMPLE, NODE_HOST, NODE_EE);
    p[8] = tag;
    return p;
}

// Whatever `s` receives within `seconds`, up to `want` bytes.
inline std::string ReadFor(int s, size_t want, int seconds)
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

inline void SendRaw(int s, const std::string& data)
{
    ASSERT_EQ((int)data.size(), LoopbackSend(s, data.data(), (int)data.size()));
}

inline double Seconds(std::chrono::steady_clock::time_point since)
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

#endif
