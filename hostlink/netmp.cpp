// NETMP: the requests this program sends to the network manager itself
// (status, connect, comment, reset) and the handling of its replies.
//
// The replies decide whether the target may be taken, and a successful
// reset tells us the target's EE side and sample protocol have to come up
// again before anything is loaded or sampled.
#include "netmp.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "deci2.h"
#include "diag.h"
#include "state.h"

#define NETMP_CODE_CONNECT 0x00
#define NETMP_CODE_CONNECTR 0x01
#define NETMP_CODE_RESET 0x02
#define NETMP_CODE_RESETR 0x03
#define NETMP_CODE_COMMENT 0x04
#define NETMP_CODE_COMMENTR 0x05
#define NETMP_CODE_STATUS 0x06
#define NETMP_CODE_STATUSR 0x07

// A status reply of exactly this body length says the target is free.
#define NETMP_STATUS_FREE_LENGTH 4
// In any other status reply the owner's comment text starts here.
#define NETMP_STATUS_OWNER_OFFSET 12

#define NETMP_BOOT_PARAM_DEFAULT 0xFFFFFFFFu

// Start of every NETMP body.
typedef struct NETMP_HDR {
    uint8_t code;
    uint8_t result;  // 0 in requests; in replies 0 means success
} NETMP_HDR;

// One protocol registration of a connect request.
typedef struct NETMP_PROTOS {
    uint8_t pri;
    uint8_t reserved;
    uint16_t proto;
} NETMP_PROTOS;

// Reset parameters.
typedef struct NETMP_BOOTP {
    uint16_t reserved;
    uint8_t pad[2];
    uint32_t param[4];
} NETMP_BOOTP;

typedef struct NETMP_STATUSPACKET {
    DECI2_HDR deci2;
    NETMP_HDR netmp;
} NETMP_STATUSPACKET;

typedef struct NETMP_CONNECTPACKET {
    DECI2_HDR deci2;
    NETMP_HDR netmp;
    NETMP_PROTOS protos[4];
} NETMP_CONNECTPACKET;

typedef struct NETMP_RESETPACKET {
    DECI2_HDR deci2;
    NETMP_HDR netmp;
    uint8_t pad[2];
    NETMP_BOOTP bootp;
} NETMP_RESETPACKET;

// Followed by the comment text and its NUL; the packet is sized to fit.
typedef struct NETMP_COMMENTPACKET {
    DECI2_HDR deci2;
    NETMP_HDR netmp;
} NETMP_COMMENTPACKET;

static_assert(sizeof(NETMP_HDR) == 2, "NETMP header is 2 bytes");
static_assert(sizeof(NETMP_PROTOS) == 4, "protocol registration is 4 bytes");
static_assert(offsetof(NETMP_PROTOS, proto) == 2, "proto at offset 2");
static_assert(sizeof(NETMP_BOOTP) == 20, "reset parameters are 20 bytes");
static_assert(offsetof(NETMP_BOOTP, param) == 4, "boot params at offset 4");
static_assert(sizeof(NETMP_STATUSPACKET) == 10, "status request is 10 bytes");
static_assert(sizeof(NETMP_CONNECTPACKET) == 26, "connect request is 26 bytes");
static_assert(offsetof(NETMP_CONNECTPACKET, protos) == 10, "registrations at 10");
static_assert(sizeof(NETMP_RESETPACKET) == 32, "reset request is 32 bytes");
static_assert(offsetof(NETMP_RESETPACKET, bootp) == 12, "reset parameters at 12");
static_assert(offsetof(NETMP_COMMENTPACKET, netmp) == 8, "comment body at 8");

#define NETMP_COMMENT_TEXT_OFFSET 10

// The protocols every connection registers, in the order the manager
// expects them.
static const uint16_t netmpProtos[4] = {PROTO_SAMPLE, PROTO_DBGP, PROTO_DRFP,
                                        PROTO_TTYP};

// One zeroed heap block with its DECI2 header and request code filled:
// nothing of the heap's previous contents goes out in padding bytes.
static void* NetmpAlloc(size_t size, uint8_t code)
{
    unsigned char* pkt = (unsigned char*)calloc(1, size);
    if (pkt != NULL) {
        MakeDeci2Hdr((DECI2_HDR*)pkt, (uint16_t)size, PROTO_NETMP, NODE_HOST, NODE_HOST);
        pkt[DECI2_HDR_SIZE + offsetof(NETMP_HDR, code)] = code;
    }
    return pkt;
}

void* NetmpMakeStatus(void)
{
    return NetmpAlloc(sizeof(NETMP_STATUSPACKET), NETMP_CODE_STATUS);
}

void* NetmpMakeConnect(uint8_t priority)
{
    NETMP_CONNECTPACKET* pkt =
        (NETMP_CONNECTPACKET*)NetmpAlloc(sizeof(NETMP_CONNECTPACKET), NETMP_CODE_CONNECT);
    if (pkt == NULL)
        return NULL;
    for (int i = 0; i < 4; i++) {
        pkt->protos[i].pri = priority;
        pkt->protos[i].reserved = 0;
        PutLE16(&pkt->protos[i].proto, netmpProtos[i]);
    }
    return pkt;
}

void* NetmpMakeComment(void)
{
    const char* text = MakeComment();
    size_t n = strlen(text);
    size_t size = NETMP_COMMENT_TEXT_OFFSET + n + 1;
    if (size > DECI2_MAX_PACKET)
        return NULL;  // cannot be framed; the caller reports the failed send
    char* pkt = (char*)NetmpAlloc(size, NETMP_CODE_COMMENT);
    if (pkt == NULL)
        return NULL;
    memcpy(pkt + NETMP_COMMENT_TEXT_OFFSET, text, n + 1);
    return pkt;
}

void* NetmpMakeReset(void)
{
    NETMP_RESETPACKET* pkt =
        (NETMP_RESETPACKET*)NetmpAlloc(sizeof(NETMP_RESETPACKET), NETMP_CODE_RESET);
    if (pkt == NULL)
        return NULL;
    PutLE16(&pkt->bootp.reserved, 0);
    for (int i = 0; i < 4; i++)
        PutLE32(&pkt->bootp.param[i], NETMP_BOOT_PARAM_DEFAULT);
    return pkt;
}

// Records who holds the target. The owner text is copied only up to the end
// of the body and cut to fit the owner buffer, so neither a long text nor a
// missing terminator can take the copy past what was received.
static void CheckStatus(const char* hdr, uint16_t length)
{
    if (length == NETMP_STATUS_FREE_LENGTH)
        return;

    SetMachineFree(0);
    char* owner = MachineOwner();
    size_t n = 0;
    if (length > NETMP_STATUS_OWNER_OFFSET) {
        const char* text = hdr + NETMP_STATUS_OWNER_OFFSET;
        size_t avail = (size_t)length - NETMP_STATUS_OWNER_OFFSET;
        const char* nul = (const char*)memchr(text, '\0', avail);
        n = nul != NULL ? (size_t)(nul - text) : avail;
        if (n > TEXT_BUF_SIZE - 1)
            n = TEXT_BUF_SIZE - 1;
        memcpy(owner, text, n);
    }
    owner[n] = '\0';
}

// What a failed reply of `code` says; null for a code that is no reply to
// a request of ours.
static const char* NetmpFailure(uint8_t code)
{
    switch (code) {
    case NETMP_CODE_RESETR: return "target reset failed";
    case NETMP_CODE_CONNECTR: return "cannot connect to dsnetm";
    case NETMP_CODE_COMMENTR: return "cannot set connection message";
    case NETMP_CODE_STATUSR: return "cannot get target status";
    default: return NULL;
    }
}

int NetmpHandler(char* buf, uint16_t length)
{
    if (buf == NULL || length < sizeof(NETMP_HDR)) {
        DBG_LINE("short netmp packet received");
        return -1;
    }
    uint8_t code = (uint8_t)buf[offsetof(NETMP_HDR, code)];
    uint8_t result = (uint8_t)buf[offsetof(NETMP_HDR, result)];
    const char* failure = NetmpFailure(code);

    if (failure == NULL) {
        DBG_PRINTF0("%s(%d): unknown netmp packet received.\n");
        return 1;
    }
    if (result != 0) {
        DBG_LINE(failure);
        return -1;
    }
    switch (code) {
    case NETMP_CODE_RESETR:
        DBG_PRINTF0("%s(%d): Target reset.\n");
        // The EE and the sample protocol have to report in again.
        connected2ee = 0;
        sampleProtoOpened = 0;
        break;
    case NETMP_CODE_CONNECTR:
        DBG_PRINTF0("%s(%d): Connected.\n");
        break;
    case NETMP_CODE_COMMENTR:
        DBG_PRINTF0("%s(%d): Commented.\n");
        break;
    default:
        CheckStatus(buf, length);
        break;
    }
    // The reply is taken to answer the request at the head of the queue;
    // there is nothing else to match it with.
    MarkHeadReplied();
    return 1;
}
