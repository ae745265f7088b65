// The one place where hostlink calls the operating system: sockets, the
// host name, signals and the debugger output. Sockets are plain integers
// here; each side converts to its platform's handle type.
#ifndef HOSTLINK_NET_H
#define HOSTLINK_NET_H

#include <stdint.h>

#define NET_INADDR_NONE 0xffffffffu
#define NET_AF_INET 2

// Starts socket use asking for `version` (0x101: major 1, minor 1) and
// reports the version obtained. 0 on success.
int NetStartup(uint16_t version, uint16_t* got);
void NetCleanup(void);

// The workstation's own name into `buf` (always terminated). 0 on success.
int NetGetHostName(char* buf, int size);
// A dotted numeric address in network byte order, or NET_INADDR_NONE.
uint32_t NetInetAddr(const char* host);
// Name lookup: the first address (network byte order) and its family.
// 0 on success.
int NetResolve(const char* host, uint32_t* addr, int* family);

// A blocking TCP stream socket, or -1.
int NetSocket(void);
// `addr` in network byte order, `port` in host byte order. 0 on success.
int NetConnect(int s, uint32_t addr, int family, uint16_t port);
// Bytes sent, or -1. Never raises a signal for a closed peer.
int NetSend(int s, const void* buf, int len);
// Like NetSend, but never waits for room: the bytes the socket took at once
// (possibly fewer than asked), or -1. After -1, NetWouldBlock tells whether
// the socket was only full.
int NetSendSome(int s, const void* buf, int len);
int NetWouldBlock(void);
// Waits up to `seconds` for room to send on `s`: >0 there is, 0 timed out,
// -1 failed (see NetInterrupted).
int NetWaitWritable(int s, int seconds);
// Bytes received, 0 when the peer has closed, -1 on error.
int NetRecv(int s, void* buf, int len);
void NetClose(int s);

// Waits up to `seconds` for `s` to become readable (or writable when
// `wantWrite`). >0 ready, 0 timed out, -1 failed (see NetInterrupted).
int NetWait(int s, int wantWrite, int seconds, int* readable, int* writable);
// True when the last failed call above was cut short by a signal.
int NetInterrupted(void);

// Second destination of diagnostics, where the platform has one.
void NetDebugOutput(const char* text);

// Installs `handler` for the termination signals the platform has, so that
// a signal interrupts a wait in progress instead of restarting it.
void NetInstallSignals(void (*handler)(int));
void NetInstallSignal(int sig, void (*handler)(int));

#endif
