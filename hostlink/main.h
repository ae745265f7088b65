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
// The same for an own format that takes no values after the line number,
// such as "%s(%d): Connected.\n".
#define DBG_PRINTF0(fmt) \
    DbPrint(_dbsprintf(fmt, DbFileName(__FILE__), __LINE__))

// ---- program-wide state and accessors --------------------------------------

char* MakeComment(void);
void SetMachineFree(int i);
char* MachineOwner(void);  // TEXT_BUF_SIZE bytes, writable
char* ProgramName(void);
char* HostName(void);

extern int connected2ee;
extern int sampleProtoOpened;
extern volatile sig_atomic_t terminationRequested;

// ---- the main module's own workings, reached by its tests ------------------

#define DECI2_DEFAULT_PORT "8510"
#define HOST_BUF_SIZE 1025

// The queue head `pl`: created once at start-up, drained and freed at the end.
int QueueCreate(void);    // 0, or -1 when the head cannot be allocated
void QueueDestroy(void);  // frees every queued packet and the head
List* QueueHead(void);    // null when there is no queue
void DelPacket(PKT* pkt);

int ConnectNet(char* arg);
// Host (before the first ':') and port text of an address text; -1 when the
// host does not fit in `hostSize` bytes.
int SplitAddress(const char* arg, char* host, size_t hostSize, const char** portText);
// The port a port text names (1..65535), or -1 for "invalid port number".
int ParsePortText(const char* text);
int SendPacket(int fd, PKT* pkt);
int RecvPacket(int fd, unsigned char* buf);
void* SampleMakeXyb(int* xyb);
int MySelect(unsigned int socket);
// Console text as received: `len` bytes, ended early by a NUL.
void PrintConsoleText(const char* text, size_t len);
// The wait's length in seconds and the number of slices it is cut into.
void SetWaitTimeout(int timeout, int granularity);
unsigned char* ReceiveBuffer(void);

// What the command line asks for.
typedef struct HOSTLINK_ARGS {
    char* address;         // "-d" value, else DSNETM, else null
    int resetIfConnected;  // -kickme
    char* filename;        // the EE program
    int nargs;             // program arguments after the file name
    char** args;           // null when nargs is 0
} HOSTLINK_ARGS;

// 0 when the command line is complete, -1 when the usage must be shown.
int HostlinkParseArgs(int ac, char** av, char* envAddress, HOSTLINK_ARGS* a);
// The program's own base name from av[0]: the text after the last '/'.
void SetProgramName(char* av0);
// A whole run; ends the process with the run's exit status.
int HostlinkMain(int ac, char** av);

#endif
