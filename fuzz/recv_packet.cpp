// Any byte stream from the manager, fed through the receive path and every
// protocol handler over a real socket pair: the input goes into one end, the
// other end is read until the receive fails (at the latest when the stream
// ends).
//
// The first byte sets the state the stream meets: what is already queued,
// the link flags, and whether the stream is taken packet by packet or
// through the whole wait (which also sends what the handlers queue).
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbgp.h"
#include "dbgp_internal.h"
#include "deci2.h"
#include "drfp.h"
#include "link.h"
#include "main.h"
#include "netmp.h"
#include "platform.h"
#include "state.h"
#include "trace.h"

// Setup bits of the first byte.
#define SETUP_HEAD_MASK 0x03   // head: none, send-only, request, awaiting reply
#define SETUP_SECOND 0x04      // a second packet queued behind the head
#define SETUP_CONNECTED 0x08   // the EE has reported in
#define SETUP_SAMPLE 0x10      // the sample protocol is open
#define SETUP_WAIT 0x20        // drive the whole wait, not just the receive
#define SETUP_FENCE 0x40       // files served from below the scratch directory only
#define SETUP_WALK 0x80        // ... resolved by the fence's own walk

// Reads and drops whatever the program sent to the manager's end.
static void DrainPeer(int fd)
{
    unsigned char sink[65536];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

static void MakeFile(const char* name, size_t size)
{
    FILE* f = fopen(name, "wb");
    if (!f)
        abort();
    for (size_t i = 0; i < size; i++)
        fputc((int)(i * 7 + 3), f);
    fclose(f);
}

static char scratchDir[] = "/tmp/recv_packet.XXXXXX";

// The scratch directory goes with the process.
static void RemoveScratch(void)
{
    static const char* const names[] = {"a", "b", "big"};
    char path[sizeof scratchDir + 8];
    for (const char* n : names) {
        snprintf(path, sizeof path, "%s/%s", scratchDir, n);
        unlink(path);
    }
    snprintf(path, sizeof path, "%s/d", scratchDir);
    rmdir(path);
    rmdir(scratchDir);
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    (void)argc;
    (void)argv;
    // Diagnostics and console text are not what is tested; nothing may
    // read the fuzzer's own input either.
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "r", stdin))
        abort();
    // The files the target asks for come from a scratch directory of this
    // process: a few small files, an empty one and a directory.
    if (!mkdtemp(scratchDir) || chdir(scratchDir) != 0)
        abort();
    atexit(RemoveScratch);
    MakeFile("a", 100);
    MakeFile("b", 0);
    MakeFile("big", 70000);
    mkdir("d", 0700);
    SetWaitTimeout(1, 1);
    HostlinkRoutes();
    // Every packet is traced too: the trace reads whatever comes.
    if (TraceOpen("/dev/null") != 0)
        abort();
    static char name[] = "hostlink";
    SetProgramName(name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    int setup = data[0];
    data++;
    size--;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    int peer = sv[0];
    int fd = sv[1];

    // As much of the stream as the pair holds, then its end.
    fcntl(peer, F_SETFL, O_NONBLOCK);
    size_t off = 0;
    while (off < size) {
        ssize_t n = send(peer, data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        off += (size_t)n;
    }
    shutdown(peer, SHUT_WR);

    if (QueueCreate() != 0)
        abort();
    static const int headStat[4] = {0, PKT_SEND_ONLY, PKT_SEND_REQUEST, PKT_AWAITING_REPLY};
    if (headStat[setup & SETUP_HEAD_MASK] != 0) {
        AddPacket(NetmpMakeStatus(), headStat[setup & SETUP_HEAD_MASK]);
        if (setup & SETUP_SECOND)
            AddPacket(DbgpMakeGetconf(), PKT_SEND_REQUEST);
    }
    connected2ee = (setup & SETUP_CONNECTED) ? 1 : 0;
    sampleProtoOpened = (setup & SETUP_SAMPLE) ? 1 : 0;
    if (FileSetFence((setup & SETUP_FENCE) ? "." : NULL) != 0)
        abort();
    FileFenceByWalk(setup & SETUP_WALK);

    // Each turn takes at least a header's worth of the stream, or sends one
    // queued packet; the bound only guards against a loop that does neither.
    size_t turns = 2 * (size / DECI2_HDR_SIZE) + 16;
    if (setup & SETUP_WAIT) {
        while (turns-- > 0 && MySelect((unsigned int)fd) > 0)
            DrainPeer(peer);
    } else {
        while (turns-- > 0 && RecvPacket(fd, ReceiveBuffer()) >= 0) {
            // What the handlers queued leaves as the wait would send it.
            PKT* head = GetHeadPktByStat(PKT_TO_SEND);
            if (head != NULL)
                SendPacket(fd, head);
            DrainPeer(peer);
        }
    }

    QueueDestroy();
    DrfpCloseAll();
    connected2ee = 0;
    sampleProtoOpened = 0;
    // The next input's pair may get the same numbers.
    LinkForgetInput(fd);
    close(fd);
    close(peer);
    return 0;
}
