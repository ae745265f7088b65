// A listening socket on the loopback interface for tests that need a peer:
// the test plays the manager's end of a connection the code under test makes.
// With testutil.h, the only test file that asks which system it runs on.
#ifndef HOSTLINK_TESTS_LOOPBACK_H
#define HOSTLINK_TESTS_LOOPBACK_H

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdint.h>
#include <string.h>

#include "platform.h"

// A listener on 127.0.0.1 at a port the system picks, or -1.
static inline int LoopbackListen(uint16_t* port)
{
    uint16_t got = 0;
    if (NetStartup(0x101, &got) != 0)
        return -1;
    int s = NetSocket();
    if (s < 0)
        return -1;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7f000001);
    sa.sin_port = 0;
#ifdef _WIN32
    SOCKET h = (SOCKET)(unsigned int)s;
    int len = sizeof sa;
#else
    int h = s;
    socklen_t len = sizeof sa;
#endif
    if (bind(h, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(h, 8) != 0 ||
        getsockname(h, (struct sockaddr*)&sa, &len) != 0) {
        NetClose(s);
        return -1;
    }
    *port = ntohs(sa.sin_port);
    return s;
}

static inline int LoopbackAccept(int listener)
{
#ifdef _WIN32
    SOCKET c = accept((SOCKET)(unsigned int)listener, NULL, NULL);
    return c == INVALID_SOCKET ? -1 : (int)(unsigned int)c;
#else
    return accept(listener, NULL, NULL);
#endif
}

// Waits up to `seconds` for `s` to become readable (or writable when
// `wantWrite`). >0 ready, 0 timed out, -1 failed.
static inline int NetWait(int s, int wantWrite, int seconds, int* readable, int* writable)
{
    return NetPoll(s, 1, wantWrite, seconds * 1000, readable, writable);
}

// Sends all of `buf` as the manager would, waiting for room as long as it
// takes to come: `len`, or -1.
static inline int LoopbackSend(int s, const void* buf, int len)
{
    const char* p = (const char*)buf;
    int sent = 0;
    int readable, writable;
    while (sent < len) {
        int n = NetSendSome(s, p + sent, len - sent);
        if (n > 0)
            sent += n;
        else if (n < 0 && (NetWouldBlock() || NetInterrupted()))
            NetPoll(s, 0, 1, 1000, &readable, &writable);
        else
            return -1;
    }
    return sent;
}

static inline void LoopbackSetOption(int s, int option, int value)
{
#ifdef _WIN32
    setsockopt((SOCKET)(unsigned int)s, SOL_SOCKET, option, (const char*)&value, sizeof value);
#else
    setsockopt(s, SOL_SOCKET, option, &value, sizeof value);
#endif
}

// The socket `s` again under a number past what select can take (raising
// the descriptor limit as far as allowed), with `s` closed; -1 (and `s`
// left as it was) where no such number is to be had. Windows counts
// sockets in its sets and has no such limit to pass.
static inline int LoopbackBeyondSelectLimit(int s)
{
#ifdef _WIN32
    (void)s;
    return -1;
#else
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return -1;
    if (rl.rlim_cur < FD_SETSIZE + 80) {
        rl.rlim_cur = rl.rlim_max < FD_SETSIZE + 80 ? rl.rlim_max : FD_SETSIZE + 80;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int high = FD_SETSIZE + 60;
    if (rl.rlim_cur <= (rlim_t)high || dup2(s, high) != high)
        return -1;
    NetClose(s);
    return high;
#endif
}

// Closes with a reset instead of an orderly shutdown.
static inline void LoopbackAbort(int s)
{
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
#ifdef _WIN32
    setsockopt((SOCKET)(unsigned int)s, SOL_SOCKET, SO_LINGER, (const char*)&lg, sizeof lg);
#else
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
#endif
    NetClose(s);
}

#endif
