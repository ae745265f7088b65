// DECI2 packet header, node and protocol codes, and little-endian access to
// wire records.
#ifndef HOSTLINK_DECI2_H
#define HOSTLINK_DECI2_H

#include <stddef.h>
#include <stdint.h>

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

#endif
