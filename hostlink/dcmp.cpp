// DCMP: the manager's unasked status and error messages about the link.
//
// Two status messages become link state that the run waits for: the EE side
// of the target has connected, and the target has opened the sample
// protocol. An error message fails whatever wait was running.
#include "dcmp.h"

#include <stddef.h>

#include "deci2.h"
#include "diag.h"
#include "state.h"

#define DCMP_TYPE_STATUS 2
#define DCMP_TYPE_ERROR 3

// Body layout: type, code, an unused word, then (status only) the node or
// protocol the status is about.
#define DCMP_TYPE_OFFSET 0
#define DCMP_CODE_OFFSET 1
#define DCMP_PROTO_OFFSET 4
#define DCMP_STATUS_SIZE 6

#define DCMP_STATUS_CONNECTED 0
#define DCMP_STATUS_PROTO 1

// The words finish the line that "DCMP_TYPE_STATUS: " or
// "DCMP_TYPE_ERROR: " started, so they carry no prefix of their own.
static const char* const dcmpStatusWords[] = {"CONNECTED\n", "PROTO\n",
                                              "UNLOCKED\n", "SPACE\n"};
static const char* const dcmpErrorWords[] = {NULL,          "NOPROTO\n",
                                             "LOCKED\n",    "NOSPACE\n",
                                             "INVALHEAD\n", "NOCONNECT\n"};
static const char dcmpUnknownWord[] = "UNKNOWN\n";

static const char* DcmpWord(const char* const* words, int count, int code)
{
    if (code < 0 || code >= count || words[code] == NULL)
        return dcmpUnknownWord;
    return words[code];
}

// A code of -1 stands for a message too short to carry one.
static void DcmpStatus(int code, const char* buf, uint16_t length)
{
    DBG_PRINTF0("%s(%d): DCMP_TYPE_STATUS: ");
    DbPrint(DcmpWord(dcmpStatusWords, 4, code));

    // Without its node/protocol word the status cannot be attributed, so it
    // changes no link state: a truncated message must not start the load.
    if (length < DCMP_STATUS_SIZE) {
        DBG_LINE("proto/node missing");
        return;
    }
    unsigned proto = GetLE16(buf + DCMP_PROTO_OFFSET);
    if (code == DCMP_STATUS_CONNECTED && proto == NODE_EE)
        connected2ee = 1;
    else if (code == DCMP_STATUS_PROTO && proto == PROTO_SAMPLE)
        sampleProtoOpened = 1;
    DBG_PRINTF("%s(%d): proto/node=0x%x\n", proto);
}

int DcmpHandler(char* buf, uint16_t length)
{
    if (buf == NULL || length < 1) {
        DBG_PRINTF0("%s(%d): Unknown DCMP message\n");
        DBG_PRINTF0("%s(%d): Received.\n");
        return 1;
    }
    int code = length > DCMP_CODE_OFFSET ? (uint8_t)buf[DCMP_CODE_OFFSET] : -1;

    switch ((uint8_t)buf[DCMP_TYPE_OFFSET]) {
    case DCMP_TYPE_STATUS:
        DcmpStatus(code, buf, length);
        break;

    case DCMP_TYPE_ERROR:
        // An error fails the wait whatever its code, even in a short body.
        DBG_PRINTF0("%s(%d): DCMP_TYPE_ERROR: ");
        DbPrint(DcmpWord(dcmpErrorWords, 6, code));
        // The system's own wording, kept as it stands: the message ends in
        // a line feed of its own, so an empty line follows and sets the
        // error apart.
        DBG_LINE("get DCMP_TYPE_ERROR message\n");
        return -1;

    default:
        DBG_PRINTF0("%s(%d): Unknown DCMP message\n");
        break;
    }
    DBG_PRINTF0("%s(%d): Received.\n");
    return 1;
}
