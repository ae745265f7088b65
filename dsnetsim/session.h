// The session engine's own header: the session record and the steps that
// its parts (connections, the protocols' answers, the script, the
// transcript) call in one another. Nothing here is for the tests; they use
// dsnetsim.h.
//
// One thread owns the sockets. Request handlers never run steps themselves:
// they queue the reply and the steps tied to the request, and the top of the
// session loop works the queue off. A step that waits for traffic (a file
// request, a pause) keeps serving incoming packets while it waits, so
// hostlink is never left hanging by the script.
#ifndef DSNETSIM_SESSION_H
#define DSNETSIM_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dsnetsim.h"

#define SIM_MAX_CONN 3
#define SIM_HDR 8

struct SimConn {
    int fd = -1;
    std::vector<uint8_t> rx;  // bytes received but not yet framed
    bool eof = false;
    int rcvTimeoutMs = 0;  // the receive limit set on the socket
    int priority = -1;
    std::string comment;
};

struct SimAction {
    bool isReply = false;  // a ready packet for `conn`, or a scripted step
    int conn = 0;
    std::vector<uint8_t> pkt;
    SimStep step;
};

struct Sim {
    SimConfig cfg;
    int listenFd = -1;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stopRequested{false};

    // Owned by the session thread.
    SimConn conns[SIM_MAX_CONN];
    uint8_t scratch[256 * 1024];  // where each read lands first
    int nconn = 0;
    std::deque<SimAction> queue;
    std::deque<std::vector<uint8_t>> drfpInbox;  // replies not yet taken by a step
    int hookCount[SIM_HOOK_COUNT] = {};
    uint32_t seq = 0;
    uint32_t lastHandle = 0;
    bool lastOpenOk = false;
    std::string lastOpenName;
    double t0 = 0;
    double lastTraffic = 0;
    bool ended = false;

    // Shared with the test thread, under mu.
    std::mutex mu;
    std::condition_variable cv;
    std::vector<SimRecord> transcript;
    SimRunInfo run;
    std::vector<SimDrfpResult> drfp;
    std::map<uint32_t, std::vector<uint8_t>> image;  // extents by start address
    uint64_t memBytes = 0;
    int writes = 0;
    int samples = 0;
    int accepted = 0;
    std::vector<std::string> problems;
    std::set<std::string> marks;
    int endReason = SIM_END_NONE;
    bool done = false;
    std::string readData;
    uint64_t readTotal = 0;
};

namespace simeng {

// A copy of something the session thread writes, taken under the lock: how
// the test's thread reads the results.
template <class T>
T Locked(Sim* sim, const T& field)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    return field;
}

// ---- the session (session.cpp) ----

// Something hostlink got wrong: kept for SimProblems, logged when asked.
void Problem(Sim* sim, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Closes every connection; the first reason given is the one kept.
void EndSession(Sim* sim, int reason);
// A ready packet for `conn` (-1: the connection carrying the target).
void QueueReply(Sim* sim, int conn, std::vector<uint8_t> pkt);
// Queues a request's reply between the steps tied to it (no reply when
// `send` is false: a manager that stays silent).
void Answer(Sim* sim, int hook, int conn, std::vector<uint8_t> reply, bool send = true);
// Hands one whole received packet to the protocol it names.
void Dispatch(Sim* sim, int conn, const uint8_t* p, size_t n);

// ---- connections and framing (conn.cpp) ----

// The listening socket on 127.0.0.1:port; -1 (reason on stderr) when the
// port cannot be had. *bound is the port it got.
int Listen(int port, int* bound);
// Accepts the three connections; false on a stop request or the time-out.
bool AcceptAll(Sim* sim);
// Serves incoming traffic for up to waitMs; returns early after a packet.
void Pump(Sim* sim, int waitMs);
// Writes all of p, reading (but not handling) what comes in meanwhile.
bool WriteAll(Sim* sim, int conn, const uint8_t* p, size_t n);
// Records and sends one packet; split and byteDelayMs -2: the session's own.
void SendPacket(Sim* sim, int conn, const std::vector<uint8_t>& pkt, int split = -2,
                int byteDelayMs = -2);
// Sends a step's packet the way the step asks (its connection, its pieces).
void SendStep(Sim* sim, const SimStep& s, const std::vector<uint8_t>& pkt);
// The connection that carries the target's traffic.
int MainConn(Sim* sim);

// ---- the transcript (transcript.cpp) ----

void Record(Sim* sim, int conn, char dir, const uint8_t* p, size_t n);

// ---- the protocols' answers (netmp.cpp, dbgp.cpp, drfp.cpp) ----

void HandleNetmp(Sim* sim, int conn, const uint8_t* body, size_t n);
std::vector<uint8_t> DcmpPacket(int type, int code, int proto);
void HandleDbgp(Sim* sim, int conn, const uint8_t* body, size_t n);
// One scripted file request: sent, its reply awaited and checked, recorded.
void DrfpStep(Sim* sim, const SimStep& s);
// Reads the open file to its end; one result for the whole of it.
void DrfpReadAll(Sim* sim, const SimStep& s);
// Sends the step's read requests back to back without reading anything.
void DrfpFlood(Sim* sim, const SimStep& s);

// ---- the script (script.cpp) ----

void RunStep(Sim* sim, const SimStep& s);

}  // namespace simeng

#endif
