// DECI2 packet header, node and protocol codes, little-endian access to
// wire records, and the packet queue every outgoing packet passes through.
#ifndef HOSTLINK_DECI2_H
#define HOSTLINK_DECI2_H

#include <stddef.h>
#include <stdint.h>

#include "list.h"

// Every packet on a connection: this header, then one protocol's body.
// Fields are little-endian; the record is read and written as raw bytes.
typedef struct DECI2_HDR {
    uint16_t length;      // whole packet, header included: 8..65535
    uint16_t reserved;    // 0 when sent, not read on receipt
    uint16_t protocol;    // PROTO_*
    uint8_t source;       // NODE_*
    uint8_t destination;  // NODE_*
} DECI2_HDR;

static_assert(sizeof(DECI2_HDR) == 8, "DECI2 header is 8 bytes on the wire");
static_assert(offsetof(DECI2_HDR, protocol) == 4, "protocol at offset 4");
static_assert(offsetof(DECI2_HDR, source) == 6, "source at offset 6");

#define DECI2_HDR_SIZE 8
#define DECI2_MAX_PACKET 65535

#define NODE_HOST 'H'
#define NODE_EE 'E'
#define NODE_IOP 'I'

#define PROTO_DCMP 0x0001
#define PROTO_DRFP 0x0120
#define PROTO_TTYP 0x0210
#define PROTO_DBGP 0x0230
#define PROTO_NETMP 0x0400
#define PROTO_SAMPLE 0xe000

void MakeDeci2Hdr(DECI2_HDR* hdr, uint16_t l, uint16_t p, uint8_t s, uint8_t d);

// Explicit little-endian loads and stores, so the wire format does not
// depend on the host's byte order or on the alignment of the buffer.
static inline uint16_t GetLE16(const void* p)
{
    const unsigned char* b = (const unsigned char*)p;
    return (uint16_t)(b[0] | (b[1] << 8));
}
static inline uint32_t GetLE32(const void* p)
{
    const unsigned char* b = (const unsigned char*)p;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
           ((uint32_t)b[3] << 24);
}
static inline void PutLE16(void* p, uint16_t v)
{
    unsigned char* b = (unsigned char*)p;
    b[0] = (unsigned char)v;
    b[1] = (unsigned char)(v >> 8);
}
static inline void PutLE32(void* p, uint32_t v)
{
    unsigned char* b = (unsigned char*)p;
    b[0] = (unsigned char)v;
    b[1] = (unsigned char)(v >> 8);
    b[2] = (unsigned char)(v >> 16);
    b[3] = (unsigned char)(v >> 24);
}

// ---- packet queue ----------------------------------------------------------
//
// Packets leave one at a time from the head, in the order they were queued.
// A request's stat moves PKT_SEND_REQUEST -> PKT_AWAITING_REPLY (sent) ->
// PKT_REPLIED (its reply handled); only the head is ever looked at, so a
// request awaiting its reply holds back everything queued behind it.

#define PKT_SEND_ONLY 1
#define PKT_SEND_REQUEST 2
#define PKT_AWAITING_REPLY 4
#define PKT_REPLIED 8
#define PKT_TO_SEND (PKT_SEND_ONLY | PKT_SEND_REQUEST)

typedef struct PKT {
    List list;  // queue link, first member
    int32_t stat;
    DECI2_HDR* deci2;  // the whole packet, owned by the node
} PKT;

// The queue head: created once at start-up, drained and freed at the end.
int QueueCreate(void);    // 0, or -1 when the head cannot be allocated
void QueueDestroy(void);  // frees every queued packet and the head
List* QueueHead(void);    // null when there is no queue

// Takes over the whole packet `buf` (one heap block) at the end of the
// queue: 0, or -1 with `buf` still the caller's (null, no queue, no memory).
int AddPacket(void* buf, int stat);
// Unlinks `pkt` and frees it with its packet.
void DelPacket(PKT* pkt);
// The head when its stat has a bit of `stat`, else null.
PKT* GetHeadPktByStat(int stat);
// A reply has been handled: the head request awaiting it is now replied.
// Replies are not matched by id: only one request is ever outstanding.
void MarkHeadReplied(void);

#endif
