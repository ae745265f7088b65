// dsnetsim: a stand-in for the network manager daemon and the console target
// behind it. It listens on a loopback port, accepts the three connections of
// one hostlink session, answers the manager's and the target's side of every
// exchange and then plays a scripted target program. Everything that crosses
// the wire is kept in a transcript for the tests to look at.
//
// Tests run it on a thread of their own (SimStart ... SimStop); the program
// in main.cpp runs the same engine for people.
#ifndef DSNETSIM_H
#define DSNETSIM_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// ---- wire codes (the simulator keeps its own copy: it shares nothing with
// the workstation program it talks to) --------------------------------------

enum {
    SIM_PROTO_DCMP = 0x0001,
    SIM_PROTO_DRFP = 0x0120,
    SIM_PROTO_TTYP = 0x0210,
    SIM_PROTO_DBGP = 0x0230,
    SIM_PROTO_NETMP = 0x0400,
    SIM_PROTO_SAMPLE = 0xe000,
};

enum { SIM_NODE_HOST = 'H', SIM_NODE_EE = 'E', SIM_NODE_IOP = 'I' };

// ---- scripted steps ---------------------------------------------------------

// Moments at which scripted steps run. A step tied to a request runs after
// the reply to it, or before the reply with SimStep::beforeReply.
enum SimHook {
    SIM_AT_ACCEPT,   // all three connections accepted
    SIM_AT_STATUS,   // NETMP status request
    SIM_AT_CONNECT,  // NETMP connect request (the nth, see SimStep::nth)
    SIM_AT_COMMENT,  // NETMP comment request (the nth)
    SIM_AT_RESET,    // NETMP reset request; before the EE reports itself up
    SIM_AT_GETCONF,  // DBGP configuration request
    SIM_AT_WRMEM,    // DBGP memory-write request (the nth)
    SIM_AT_RUN,      // DBGP run request: the target program starts
    SIM_HOOK_COUNT
};

enum SimStepKind {
    SIM_STEP_TTY,          // console text `data`
    SIM_STEP_DCMP,         // DCMP message: type a, code b, proto/node c
    SIM_STEP_RAW,          // the bytes `data` as they are, framing included
    SIM_STEP_BREAK,        // DBGP break report: code a, result b
    SIM_STEP_DRFP,         // one file request, see SimDrfp* below
    SIM_STEP_DRFP_READALL, // read the open file to its end in requests of a bytes
    SIM_STEP_ECHO_READ,    // print what READALL read as console text, line by line
    SIM_STEP_SLEEP,        // a milliseconds of quiet (traffic is still served)
    SIM_STEP_WAIT_SAMPLES, // until a more sample packets arrived, at most b ms
    SIM_STEP_CLOSE,        // send the first a bytes of `data`, then close every connection
    SIM_STEP_MARK,         // records the name `data`; SimWaitMark sees it
    SIM_STEP_DROP_REPLY,   // the next queued reply is never sent (tie it with SimBefore)
    SIM_STEP_CLOSE_CONN,   // closes connection `conn` alone; the session goes on
    SIM_STEP_DEAF,         // a milliseconds without reading anything (buffers fill up)
    SIM_STEP_DRFP_FLOOD,   // a reads of b bytes of the open file at once, then c ms deaf
};

struct SimStep {
    int hook = SIM_AT_RUN;
    int nth = 0;               // which occurrence of the hook's request (0: the first)
    bool beforeReply = false;  // run before the request is answered
    int kind = SIM_STEP_SLEEP;
    std::string data;
    uint32_t a = 0, b = 0, c = 0, d = 0;
    bool noReply = false;      // DRFP: the request expects no reply
    int argIndex = -1;         // DRFP open: take the name from this run argument
    bool useHandle = true;     // DRFP: fill in the handle of the last open
    int64_t seqnum = -1;       // DRFP: this sequence number; -1 the next one
    int split = -1;            // send in two writes, the first of `split` bytes
    int byteDelayMs = -1;      // send one byte per write, pausing in between
    int conn = -1;             // send on this connection; -1 the one carrying the target
};

// Step builders; each returns a step for SIM_AT_RUN that the caller may retie
// with SimAt/SimBefore.
SimStep SimTty(const std::string& text);
SimStep SimDcmp(int type, int code, int proto);
SimStep SimRaw(const std::vector<uint8_t>& bytes);
SimStep SimBreak(int code, int result);
SimStep SimDrfpOpen(const std::string& name);
SimStep SimDrfpOpenArg(int argIndex, const std::string& fallback);
SimStep SimDrfpSeek(int32_t offset, uint32_t base);
SimStep SimDrfpRead(uint32_t count);
SimStep SimDrfpClose();
SimStep SimDrfpCode(uint32_t code, bool expectReply);  // bare header, any code
SimStep SimDrfpReadAll(uint32_t chunk);
SimStep SimEchoRead();
SimStep SimSleep(int ms);
SimStep SimWaitSamples(int count, int timeoutMs);
SimStep SimCloseAfter(const std::vector<uint8_t>& bytes, size_t keep);
SimStep SimMark(const std::string& name);
// Swallows the reply to the request it is tied to, as a manager or target
// that never answers would.
SimStep SimDropReply();
// Closes one connection and leaves the others as they are (closing the first
// ends the session, as hostlink going away would).
SimStep SimCloseConn(int conn);
// Stops reading for ms milliseconds, as a manager that stops taking packets
// would; what hostlink sends meanwhile waits in the buffers.
SimStep SimDeaf(int ms);
// A target that asks for `count` reads of `bytes` each of the open file
// without waiting for a single reply, while the manager stops taking
// packets for `deafMs`: what hostlink answers backs up.
SimStep SimDrfpFlood(int count, uint32_t bytes, int deafMs);
// A close of handle 0, which never names an open file: its reply shows that
// hostlink has handled every packet sent before it (printed console text
// included).
SimStep SimSync();
SimStep SimAt(int hook, SimStep s, int nth = 0);
SimStep SimBefore(int hook, SimStep s, int nth = 0);

// A whole DECI2 packet: header and body.
std::vector<uint8_t> SimPacket(uint16_t proto, uint8_t src, uint8_t dst,
                               const std::vector<uint8_t>& body);

// ---- configuration ---------------------------------------------------------

enum SimOwner { SIM_OWNER_NONE, SIM_OWNER_SELF, SIM_OWNER_OTHER };

// Index of a NETMP request in SimConfig::netmpResult and netmpSilent.
enum { SIM_NETMP_STATUS, SIM_NETMP_CONNECT, SIM_NETMP_COMMENT, SIM_NETMP_RESET, SIM_NETMP_COUNT };

struct SimConfig {
    int port = 0;  // 0: an ephemeral port, see SimPort

    // The manager.
    int owner = SIM_OWNER_NONE;
    std::string ownerText;  // empty with SIM_OWNER_SELF: this host's own comment
    uint8_t netmpResult[SIM_NETMP_COUNT] = {0, 0, 0, 0};
    int netmpFailConn = -1;  // only this connection's reply fails; -1 any
    bool netmpSilent[SIM_NETMP_COUNT] = {false, false, false, false};
    bool eeConnects = true;  // after the reset: "EE connected"
    bool sampleOpens = true; // after the reset: "sample protocol open"

    // The target's debug side.
    uint32_t memAlign = 0x1f;
    uint32_t memLimitAlign = 0;
    uint32_t memLimitSize = 0;
    uint8_t getconfResult = 0;
    uint8_t runResult = 0;
    uint8_t wrmemResult = 0;
    int wrmemFailNth = -1;  // only this write fails; -1 every write gets wrmemResult
    bool keepMemory = true; // false: written bytes are counted, not kept (benchmarks)

    // How the simulator's own packets go out.
    int split = -1;
    int byteDelayMs = -1;
    int splitDelayMs = 30;

    // Bounds: nothing in the simulator waits longer than these.
    int acceptTimeoutMs = 10000;
    int replyTimeoutMs = 5000;   // a DRFP reply
    int noReplyMs = 300;         // how long to watch for a reply that must not come
    int idleTimeoutMs = 120000;  // a session without any traffic ends
    int sessionLimitMs = 0;      // a session this old ends between steps; 0 never

    // Transcript size: bytes kept per packet and sample packets kept.
    size_t recordBytes = (size_t)-1;
    int sampleRecords = 8;
    size_t keepReadBytes = 1 << 20;  // of what SIM_STEP_DRFP_READALL reads

    FILE* log = nullptr;  // when set, one line per packet as it passes

    std::vector<SimStep> steps;
};

// Fills `cfg` for a named scenario of the program: free, owned, other,
// silent, demo. False for an unknown name.
bool SimScenario(const char* name, SimConfig* cfg);

// ---- results -----------------------------------------------------------------

enum SimDir { SIM_TO_HOST = 'S', SIM_FROM_HOST = 'R' };

struct SimRecord {
    int conn = 0;
    char dir = SIM_TO_HOST;
    double t = 0;           // seconds since the session started
    uint32_t length = 0;    // whole packet length as sent or received
    std::vector<uint8_t> bytes;  // at most SimConfig::recordBytes of it
};

struct SimRunInfo {
    bool seen = false;
    uint32_t entry = 0, gp = 0, argc = 0;
    std::vector<std::string> args;
};

struct SimDrfpResult {
    uint32_t code = 0, seqnum = 0;
    bool replied = false;
    uint32_t rcode = 0, rseq = 0, result = 0, value = 0;  // value: handle, pos or byte count
    uint32_t length = 0;                                   // DECI2 length of the reply
    uint8_t destination = 0;
    std::vector<uint8_t> data;                             // of a read reply
};

enum SimEnd {
    SIM_END_NONE,
    SIM_END_PEER_CLOSED,  // hostlink closed its connections
    SIM_END_CLOSED,       // a script step closed them
    SIM_END_STOPPED,      // SimStop
    SIM_END_ACCEPT_TIMEOUT,
    SIM_END_IDLE,
    SIM_END_ERROR,
    SIM_END_LIMIT,        // SimConfig::sessionLimitMs ran out
};

struct Sim;

// Starts listening on 127.0.0.1 and runs the session on a thread. Null when
// the port cannot be had (the reason is on standard error).
Sim* SimStart(const SimConfig& cfg);
int SimPort(Sim* sim);
// True once a SIM_STEP_MARK of that name has run (false after timeoutMs).
bool SimWaitMark(Sim* sim, const char* name, int timeoutMs);
// True once the session is over (false after timeoutMs).
bool SimWaitEnd(Sim* sim, int timeoutMs);
// Ends the session as a manager that goes away would: every connection is
// closed. What was recorded stays readable until SimStop.
void SimHangUp(Sim* sim);
// Ends the session if it still runs, joins the thread, frees everything.
void SimStop(Sim* sim);

std::vector<SimRecord> SimTranscript(Sim* sim);
SimRunInfo SimRun(Sim* sim);
std::vector<SimDrfpResult> SimDrfpResults(Sim* sim);
// True when every byte of [addr, addr+len) was written; the bytes go to *out.
bool SimReadMem(Sim* sim, uint32_t addr, uint32_t len, std::vector<uint8_t>* out);
uint64_t SimMemBytes(Sim* sim);     // bytes written into target memory
int SimWrites(Sim* sim);            // memory-write requests received
int SimSamples(Sim* sim);           // sample packets received
int SimConnections(Sim* sim);       // connections accepted
std::vector<int> SimPriorities(Sim* sim);       // per connection, -1 none
std::vector<std::string> SimComments(Sim* sim); // per connection
std::vector<std::string> SimProblems(Sim* sim); // what hostlink got wrong
int SimEndReason(Sim* sim);
std::string SimReadData(Sim* sim);  // what SIM_STEP_DRFP_READALL read (kept part)
uint64_t SimReadTotal(Sim* sim);

// "@" + this host's name + ", Norvane hostlink": how the workstation program
// names itself to the manager.
std::string SimOwnComment();

// One line describing a record, for logs and failure messages.
std::string SimFormatRecord(const SimRecord& r);

// ---- ELF files for tests and benchmarks ---------------------------------------

struct SimSegment {
    uint32_t vaddr = 0;
    std::vector<uint8_t> data;
    uint32_t memsz = 0;  // 0: the size of data
};

// Writes a minimal little-endian MIPS executable with the given loadable
// segments and a register-information section holding gp. False on I/O error.
bool SimWriteElf(const char* path, uint32_t entry, uint32_t gp,
                 const std::vector<SimSegment>& segs);

#endif
