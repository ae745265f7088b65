// What the main module (packet queue, transport, start-up, run sequence)
// shares with the protocol modules.
#ifndef HOSTLINK_MAIN_H
#define HOSTLINK_MAIN_H

#include <signal.h>

#include "deci2.h"
#include "list.h"

// ---- packet queue ----------------------------------------------------------

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

int AddPacket(void* buf, int stat);
PKT* GetHeadPktByStat(int stat);

// ---- transport -------------------------------------------------------------

// Queues a whole request packet (taking it over, null allowed) and waits on
// `socket` until its reply has been handled: 1, or -1 after the reason.
int SendAndWaitReply(void* buf, unsigned int socket);

// ---- diagnostics -----------------------------------------------------------

#define DBERR_SIZE 512
#define TEXT_BUF_SIZE 260

// Formats into the shared 512-byte diagnostic buffer (never past it); the
// first carriage return becomes a line feed and ends the text.
char* _dbsprintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes a finished diagnostic text to standard output and the debugger
// output, literally.
void DbPrint(const char* text);
// The reporting module's own file name, not the build machine's path.
const char* DbFileName(const char* path);

// A diagnostic line "<file>(<line>): <message>\n".
#define DBG_LINE(msg) \
    DbPrint(_dbsprintf("%s(%d): %s\n", DbFileName(__FILE__), __LINE__, (msg)))
// A diagnostic line with a format of its own that starts with "%s(%d): ".
#define DBG_PRINTF(fmt, ...) \
    DbPrint(_dbsprintf(fmt, DbFileName(__FILE__), __LINE__, __VA_ARGS__))

// ---- program-wide state and accessors --------------------------------------

char* MakeComment(void);
void SetMachineFree(int i);
char* MachineOwner(void);  // TEXT_BUF_SIZE bytes, writable
char* ProgramName(void);
char* HostName(void);

extern int connected2ee;
extern int sampleProtoOpened;
extern volatile sig_atomic_t terminationRequested;

#endif
