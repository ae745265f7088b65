// The manager's side: NETMP requests answered (status, connect, comment,
// reset) and the DCMP status messages that tell the target is back up.
#include <algorithm>

#include "session.h"
#include "simwire.h"

namespace simeng {

static std::vector<uint8_t> NetmpReply(uint8_t code, uint8_t result, size_t bodyLen)
{
    std::vector<uint8_t> body(bodyLen < 4 ? 4 : bodyLen, 0);
    body[0] = code;
    body[1] = result;
    return SimPacket(SIM_PROTO_NETMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

// The result configured for a request, on the connection it fails on.
static uint8_t NetmpResult(Sim* sim, int which, int conn)
{
    if (sim->cfg.netmpFailConn >= 0 && sim->cfg.netmpFailConn != conn)
        return 0;
    return sim->cfg.netmpResult[which];
}

std::vector<uint8_t> DcmpPacket(int type, int code, int proto)
{
    std::vector<uint8_t> body(6, 0);
    body[0] = (uint8_t)type;
    body[1] = (uint8_t)code;
    SimPut16(&body[4], (uint16_t)proto);
    return SimPacket(SIM_PROTO_DCMP, SIM_NODE_HOST, SIM_NODE_HOST, body);
}

// A free target's reply has a 4-byte body; a held one's carries the owner's
// text at body offset 12, with its terminator.
static void NetmpStatus(Sim* sim, int conn)
{
    uint8_t res = NetmpResult(sim, SIM_NETMP_STATUS, conn);
    std::vector<uint8_t> reply;
    if (sim->cfg.owner == SIM_OWNER_NONE) {
        reply = NetmpReply(0x07, res, 4);
    } else {
        std::string owner = sim->cfg.ownerText;
        if (owner.empty() && sim->cfg.owner == SIM_OWNER_SELF)
            owner = SimOwnComment();
        std::vector<uint8_t> b(12 + owner.size() + 1, 0);
        b[0] = 0x07;
        b[1] = res;
        std::copy(owner.begin(), owner.end(), b.begin() + 12);
        reply = SimPacket(SIM_PROTO_NETMP, SIM_NODE_HOST, SIM_NODE_HOST, b);
    }
    Answer(sim, SIM_AT_STATUS, conn, reply, !sim->cfg.netmpSilent[SIM_NETMP_STATUS]);
}

// Connect: the connection's priority, then its protocols.
static void NetmpConnect(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n >= 3) {
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->conns[conn].priority = body[2];
    }
    if (n != 18)
        Problem(sim, "conn %d: connect body of %zu bytes", conn, n);
    uint8_t res = NetmpResult(sim, SIM_NETMP_CONNECT, conn);
    Answer(sim, SIM_AT_CONNECT, conn, NetmpReply(0x01, res, 4),
           !sim->cfg.netmpSilent[SIM_NETMP_CONNECT]);
}

// Comment: NUL-terminated text, kept per connection.
static void NetmpComment(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    size_t len = 0;
    while (2 + len < n && body[2 + len] != 0)
        len++;
    if (2 + len >= n)
        Problem(sim, "conn %d: comment without its terminator", conn);
    {
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->conns[conn].comment.assign((const char*)body + 2, len);
    }
    uint8_t res = NetmpResult(sim, SIM_NETMP_COMMENT, conn);
    Answer(sim, SIM_AT_COMMENT, conn, NetmpReply(0x05, res, 4),
           !sim->cfg.netmpSilent[SIM_NETMP_COMMENT]);
}

static void NetmpReset(Sim* sim, int conn, size_t n)
{
    if (n != 24)
        Problem(sim, "conn %d: reset body of %zu bytes", conn, n);
    uint8_t res = NetmpResult(sim, SIM_NETMP_RESET, conn);
    Answer(sim, SIM_AT_RESET, conn, NetmpReply(0x03, res, 4),
           !sim->cfg.netmpSilent[SIM_NETMP_RESET]);
    if (res == 0 && !sim->cfg.netmpSilent[SIM_NETMP_RESET]) {
        // The target comes back up: the EE reports in, then the sample
        // protocol is opened on the target side.
        if (sim->cfg.eeConnects)
            QueueReply(sim, -1, DcmpPacket(2, 0, SIM_NODE_EE));
        if (sim->cfg.sampleOpens)
            QueueReply(sim, -1, DcmpPacket(2, 1, SIM_PROTO_SAMPLE));
    }
}

void HandleNetmp(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 2) {
        Problem(sim, "conn %d: NETMP body of %zu bytes", conn, n);
        return;
    }
    switch (body[0]) {
    case 0x06:
        NetmpStatus(sim, conn);
        break;
    case 0x00:
        NetmpConnect(sim, conn, body, n);
        break;
    case 0x04:
        NetmpComment(sim, conn, body, n);
        break;
    case 0x02:
        NetmpReset(sim, conn, n);
        break;
    default:
        Problem(sim, "conn %d: unexpected NETMP code 0x%02x", conn, body[0]);
        break;
    }
}

}  // namespace simeng
