// The simulator checked from the workstation's side with a bare client, so
// that the end-to-end tests can trust what it reports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dsnetsim.h"

namespace {

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

std::vector<uint8_t> Recv(int fd)
{
    uint8_t hdr[8];
    size_t got = 0;
    while (got < 8) {
        ssize_t r = recv(fd, hdr + got, 8 - got, 0);
        if (r <= 0)
            return {};
        got += (size_t)r;
    }
    size_t len = hdr[0] | (hdr[1] << 8);
    std::vector<uint8_t> p(hdr, hdr + 8);
    p.resize(len < 8 ? 8 : len);
    while (got < len) {
        ssize_t r = recv(fd, p.data() + got, len - got, 0);
        if (r <= 0)
            return {};
        got += (size_t)r;
    }
    return p;
}

void SendBytewise(int fd, const std::vector<uint8_t>& p)
{
    for (uint8_t b : p) {
        ASSERT_EQ(send(fd, &b, 1, 0), 1);
        usleep(1000);
    }
}

// The body is sized once and filled in place: growing a two-byte vector by
// insertion makes GCC's array-bounds check at -O3 see a copy past its end.
std::vector<uint8_t> Netmp(uint8_t code, const std::vector<uint8_t>& rest = {})
{
    std::vector<uint8_t> body(2 + rest.size(), 0);
    body[0] = code;
    for (size_t i = 0; i < rest.size(); i++)
        body[2 + i] = rest[i];
    return SimPacket(SIM_PROTO_NETMP, 'H', 'H', body);
}

struct Client {
    Sim* sim = nullptr;
    int fd[3] = {-1, -1, -1};
    explicit Client(const SimConfig& cfg)
    {
        sim = SimStart(cfg);
        if (!sim)
            return;
        for (int& f : fd)
            f = Connect(SimPort(sim));
    }
    ~Client()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
        SimStop(sim);
    }
};

}  // namespace

// Requests that arrive a byte at a time are framed whole; replies go back on
// the connection that asked; an owned target's status names the owner.
TEST(Sim, FramesSplitRequestsAndAnswersOnTheAskingConnection)
{
    SimConfig cfg;
    cfg.owner = SIM_OWNER_OTHER;
    cfg.ownerText = "@elsewhere, tool";
    Client c(cfg);
    ASSERT_NE(c.sim, nullptr);
    ASSERT_GE(c.fd[2], 0);

    SendBytewise(c.fd[1], Netmp(0x06));
    std::vector<uint8_t> r = Recv(c.fd[1]);
    ASSERT_GE(r.size(), 21u);
    EXPECT_EQ(r[8], 0x07);
    EXPECT_EQ(r[9], 0);
    EXPECT_STREQ((const char*)&r[20], "@elsewhere, tool");

    std::vector<uint8_t> comment = {'h', 'i', 0};
    send(c.fd[2], Netmp(0x04, comment).data(), 13, 0);
    r = Recv(c.fd[2]);
    ASSERT_GE(r.size(), 10u);
    EXPECT_EQ(r[8], 0x05);
    EXPECT_EQ(SimComments(c.sim)[2], "hi");
    EXPECT_TRUE(SimProblems(c.sim).empty());
}

// A failed reset is answered but the target does not come back; a good one
// is followed by the EE and sample-protocol status messages.
TEST(Sim, ResetFollowedByStatusMessagesOnlyWhenItSucceeds)
{
    std::vector<uint8_t> reset(22, 0);
    for (int failed = 0; failed < 2; failed++) {
        SimConfig cfg;
        cfg.netmpResult[SIM_NETMP_RESET] = (uint8_t)failed;
        Client c(cfg);
        ASSERT_NE(c.sim, nullptr);
        std::vector<uint8_t> p = Netmp(0x02, reset);
        send(c.fd[0], p.data(), p.size(), 0);
        std::vector<uint8_t> r = Recv(c.fd[0]);
        ASSERT_GE(r.size(), 10u);
        EXPECT_EQ(r[9], failed);
        if (failed) {
            struct timeval tv = {0, 300000};
            setsockopt(c.fd[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            EXPECT_TRUE(Recv(c.fd[0]).empty());
            continue;
        }
        r = Recv(c.fd[0]);
        ASSERT_EQ(r.size(), 14u);
        EXPECT_EQ(r[4], 0x01);
        EXPECT_EQ(r[9], 0);
        EXPECT_EQ(r[12], 'E');
        r = Recv(c.fd[0]);
        ASSERT_EQ(r.size(), 14u);
        EXPECT_EQ(r[9], 1);
        EXPECT_EQ(r[12] | (r[13] << 8), 0xe000);
    }
}

// Memory writes of several alignments land in one image; overlapping and
// touching writes merge; a write with the wrong data length is reported and
// not stored; the run request's arguments are taken apart.
TEST(Sim, KeepsMemoryImageAndRunRequest)
{
    SimConfig cfg;
    Client c(cfg);
    ASSERT_NE(c.sim, nullptr);
    auto wr = [&](uint8_t k, uint32_t addr, std::vector<uint8_t> data, int lenDelta = 0) {
        uint32_t amask = (1u << k) - 1;
        uint32_t pad = ((28 + amask) & ~amask) - 28;
        std::vector<uint8_t> body(20 + pad, 0);
        body[2] = 0x0a;
        body[5] = 1;
        body[9] = k;
        for (int i = 0; i < 4; i++) {
            body[12 + i] = (uint8_t)(addr >> (8 * i));
            body[16 + i] = (uint8_t)((data.size() + lenDelta) >> (8 * i));
        }
        body.insert(body.end(), data.begin(), data.end());
        std::vector<uint8_t> p = SimPacket(SIM_PROTO_DBGP, 'H', 'E', body);
        send(c.fd[0], p.data(), p.size(), 0);
        std::vector<uint8_t> r = Recv(c.fd[0]);
        ASSERT_GE(r.size(), 16u);
        EXPECT_EQ(r[10], 0x0b);
    };
    wr(4, 0x1000, std::vector<uint8_t>(32, 0xaa));
    wr(0, 0x1020, {1, 2, 3});
    wr(0, 0x0ffe, {7, 8, 9});
    wr(0, 0x2000, {5}, 1);
    std::vector<uint8_t> m;
    ASSERT_TRUE(SimReadMem(c.sim, 0x0ffe, 37, &m));
    EXPECT_EQ(m[0], 7);
    EXPECT_EQ(m[2], 9);
    EXPECT_EQ(m[3], 0xaa);
    EXPECT_EQ(m[34], 1);
    EXPECT_EQ(m[36], 3);
    EXPECT_FALSE(SimReadMem(c.sim, 0x0ffe, 38, &m));
    EXPECT_FALSE(SimReadMem(c.sim, 0x2000, 1, &m));
    EXPECT_EQ(SimProblems(c.sim).size(), 1u);

    std::vector<uint8_t> run(28, 0);
    run[2] = 0x18;
    run[8] = 0x40;   // entry 0x40
    run[13] = 0x80;  // gp 0x8000
    run[24] = 2;
    std::vector<uint8_t> words = {3, 0, 0, 0, 2, 0, 0, 0, 'a', 'b', 0, 'c', 0};
    run.insert(run.end(), words.begin(), words.end());
    std::vector<uint8_t> p = SimPacket(SIM_PROTO_DBGP, 'H', 'E', run);
    send(c.fd[0], p.data(), p.size(), 0);
    ASSERT_GE(Recv(c.fd[0]).size(), 16u);
    SimRunInfo info = SimRun(c.sim);
    EXPECT_EQ(info.entry, 0x40u);
    EXPECT_EQ(info.gp, 0x8000u);
    ASSERT_EQ(info.args.size(), 2u);
    EXPECT_EQ(info.args[0], "ab");
    EXPECT_EQ(info.args[1], "c");
}

// Nothing in the simulator waits for ever: with nobody connecting the
// session ends on its own.
TEST(Sim, EndsWhenNobodyConnects)
{
    SimConfig cfg;
    cfg.acceptTimeoutMs = 200;
    Sim* sim = SimStart(cfg);
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(SimWaitEnd(sim, 3000));
    EXPECT_EQ(SimEndReason(sim), SIM_END_ACCEPT_TIMEOUT);
    SimStop(sim);
}

// A dropped reply is never sent while the steps around it still run; a step
// may go out on a connection of its own choosing; the session limit ends a
// session that never falls quiet.
TEST(Sim, DropsRepliesSendsOnChosenConnectionAndEndsAtItsLimit)
{
    SimConfig cfg;
    cfg.sessionLimitMs = 600;
    cfg.steps.push_back(SimBefore(SIM_AT_STATUS, SimDropReply()));
    SimStep side = SimTty("side");
    side.conn = 2;
    cfg.steps.push_back(SimBefore(SIM_AT_STATUS, side));
    Client c(cfg);
    ASSERT_NE(c.sim, nullptr);
    std::vector<uint8_t> st = Netmp(0x06);
    send(c.fd[0], st.data(), st.size(), 0);
    std::vector<uint8_t> r = Recv(c.fd[2]);
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[4] | (r[5] << 8), SIM_PROTO_TTYP);

    struct timeval shortWait = {0, 300000}, longWait = {5, 0};
    setsockopt(c.fd[0], SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
    EXPECT_TRUE(Recv(c.fd[0]).empty());
    setsockopt(c.fd[0], SOL_SOCKET, SO_RCVTIMEO, &longWait, sizeof longWait);

    // The second status request is answered: only the first reply was taken.
    send(c.fd[0], st.data(), st.size(), 0);
    r = Recv(c.fd[0]);
    ASSERT_GE(r.size(), 10u);
    EXPECT_EQ(r[8], 0x07);

    // Traffic every 100 ms keeps the idle limit away; the session limit
    // still ends it.
    for (int i = 0; i < 20 && !SimWaitEnd(c.sim, 100); i++)
        send(c.fd[1], "x", 1, 0);
    EXPECT_TRUE(SimWaitEnd(c.sim, 2000));
    EXPECT_EQ(SimEndReason(c.sim), SIM_END_LIMIT);
}

// One connection closed alone: its peer sees the end, the others still
// carry their exchanges.
TEST(Sim, ClosesOneConnectionAlone)
{
    SimConfig cfg;
    cfg.steps.push_back(SimBefore(SIM_AT_STATUS, SimCloseConn(2)));
    Client c(cfg);
    ASSERT_NE(c.sim, nullptr);
    std::vector<uint8_t> st = Netmp(0x06);
    send(c.fd[0], st.data(), st.size(), 0);
    std::vector<uint8_t> r = Recv(c.fd[0]);
    ASSERT_GE(r.size(), 10u);
    EXPECT_EQ(r[8], 0x07);
    char b;
    EXPECT_EQ(recv(c.fd[2], &b, 1, 0), 0);
    EXPECT_FALSE(SimWaitEnd(c.sim, 100));
}

// While deaf the session takes nothing; afterwards what waited is answered.
TEST(Sim, DeafStepReadsNothingUntilItEnds)
{
    SimConfig cfg;
    cfg.steps.push_back(SimAt(SIM_AT_ACCEPT, SimDeaf(400)));
    Client c(cfg);
    ASSERT_NE(c.sim, nullptr);
    std::vector<uint8_t> st = Netmp(0x06);
    send(c.fd[0], st.data(), st.size(), 0);
    struct timeval shortWait = {0, 200000}, longWait = {5, 0};
    setsockopt(c.fd[0], SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
    EXPECT_TRUE(Recv(c.fd[0]).empty());
    setsockopt(c.fd[0], SOL_SOCKET, SO_RCVTIMEO, &longWait, sizeof longWait);
    std::vector<uint8_t> r = Recv(c.fd[0]);
    ASSERT_GE(r.size(), 10u);
    EXPECT_EQ(r[8], 0x07);
}
