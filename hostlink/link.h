// The link to the manager: connections, packets moved between the queue
// and a connection, and the program's one wait, inside which every
// receive, every send and every protocol handler runs.
#ifndef HOSTLINK_LINK_H
#define HOSTLINK_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "deci2.h"

#define DECI2_DEFAULT_PORT "8510"
#define HOST_BUF_SIZE 1025

// ---- connections -----------------------------------------------------------

// Connects to the manager named by `arg` (host, or host:port; null or empty
// for this workstation on port 8510): the socket, or -1 after the reason.
int ConnectNet(char* arg);
// Host (before the first ':') and port text of an address text; -1 when the
// host does not fit in `hostSize` bytes.
int SplitAddress(const char* arg, char* host, size_t hostSize, const char** portText);
// The port a port text names: its leading number, which must be 1..65535;
// -1 for "invalid port number".
int ParsePortText(const char* text);
// The workstation's own name into `buf` of `size` bytes, always terminated
// (cut when it does not fit). 0 on success.
int LinkHostName(char* buf, int size);

// ---- routing ---------------------------------------------------------------

// A protocol's receiver: `buf` is the body after the DECI2 header (inside
// the receive buffer, valid until the next receive), `length` its byte
// count. A negative result fails the wait that received the packet.
typedef int (*PacketHandler)(char* buf, uint16_t length);

typedef struct LINK_ROUTE {
    uint16_t protocol;  // PROTO_*
    PacketHandler handler;
} LINK_ROUTE;

// The table RecvPacket routes every received packet by, on its protocol
// alone; a protocol not in it is "unknown packet received". The table is
// the caller's and must outlive every wait.
void LinkSetRoutes(const LINK_ROUTE* routes, int count);

// ---- packets and the wait --------------------------------------------------

// Sends the whole of `pkt` on `fd`: a packet that expects no reply is then
// freed, a request marked awaiting its reply. Bytes sent, or -1 (the packet
// stays queued).
int SendPacket(int fd, PKT* pkt);
// Reads one packet into `buf` (always the receive buffer) and hands its
// body to its protocol's handler: the handler's result, or -1. Bytes that
// came in behind the packet are kept for the next call on `fd`.
int RecvPacket(int fd, unsigned char* buf);
// True when bytes kept from an earlier receive on `fd` wait to be handled.
int LinkHasInput(int fd);
// Drops what was kept from connection `fd`, which is no more (its number
// may come back for a new one).
void LinkForgetInput(int fd);
// A 20-byte pointer sample packet carrying the three `values`, or null.
void* SampleMakeXyb(int* values);
// The wait: 1 after traffic was handled; 0 when nothing happened, on an
// interrupted wait or a termination request; -1 on failure.
int MySelect(unsigned int socket);
// Waits on `socket`, one MySelect after the other, until `done` says so:
// 1, or -1 after "timeout" (a whole wait without traffic) or "select error".
int WaitUntil(unsigned int socket, int (*done)(void));
// Queues a whole request packet (taking it over, null allowed) and waits on
// `socket` until its reply has been handled: 1, or -1 after the reason.
int SendAndWaitReply(void* buf, unsigned int socket);

// The wait's length in seconds and the number of slices it is cut into.
void SetWaitTimeout(int timeout, int granularity);
// The one receive buffer, large enough for any packet.
unsigned char* ReceiveBuffer(void);

#endif
