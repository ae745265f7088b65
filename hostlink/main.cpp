// hostlink's main module: the program-wide state and its accessors, the
// command line, start-up, and the run that claims the target, loads the
// program and serves it. Every phase returns; HostlinkMain alone ends the
// program, and the exit handler releases what the run held.
#include "main.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbgp.h"
#include "dcmp.h"
#include "deci2.h"
#include "diag.h"
#include "drfp.h"
#include "link.h"
#include "netmp.h"
#include "platform.h"
#include "progress.h"
#include "state.h"
#include "trace.h"

// Texts in the system's own wording, kept letter for letter as they stand.
#define RUN_STATUS_FAILED "faild to send status packet"
#define RUN_CONNECT_FAILED "faild to send connect packet"
#define RUN_COMMENT_FAILED "faild to send filesrv connect packet"
#define RUN_RESET_FAILED "faild to send reset packet"

// A phase of the run returns RUN_ON to let the run go on, or the exit
// status the run ends with.
#define RUN_ON 256
// The status of a run whose lines could not be written to standard output.
#define RUN_OUTPUT_LOST 1

// ---- program-wide state -------------------------------------------------------

static char* bname;
static char hostName[TEXT_BUF_SIZE];
static char comment[TEXT_BUF_SIZE];
static int machineFree = 1;
static char machineOwner[TEXT_BUF_SIZE];
static int resetIfConnected;
static int cleanupRequired;
static int fdSock = -1;
static unsigned int socketBlock;
static unsigned int socketBlock2;

int connected2ee;
int sampleProtoOpened;
volatile sig_atomic_t terminationRequested;

// Every protocol a received packet can carry, and who takes it.
static const LINK_ROUTE routes[] = {
    {PROTO_NETMP, NetmpHandler}, {PROTO_DCMP, DcmpHandler}, {PROTO_DBGP, DbgpHandler},
    {PROTO_DRFP, DrfpHandler},   {PROTO_TTYP, TtypHandler},
};

void HostlinkRoutes(void)
{
    LinkSetRoutes(routes, (int)(sizeof routes / sizeof routes[0]));
}

// ---- accessors ------------------------------------------------------------------

char* MakeComment(void)
{
    // A host name too long for the buffer cuts the text; every call cuts it
    // the same way, so the ownership check still recognises it.
    int n = snprintf(comment, sizeof comment, "@%s, Norvane hostlink", HostName());
    if (n < 0)
        comment[0] = '\0';
    return comment;
}

void SetMachineFree(int i)
{
    machineFree = i;
}

char* MachineOwner(void)
{
    return machineOwner;
}

char* ProgramName(void)
{
    return bname;
}

char* HostName(void)
{
    return hostName;
}

// ---- start-up -------------------------------------------------------------------

// Runs at every exit: frees the queue and closes the files the target left
// open, then ends socket use once the run has taken it over.
static void Exit(void)
{
    ProgressEnd();
    QueueDestroy();
    DrfpCloseAll();
    if (cleanupRequired == 1)
        NetCleanup();
    TraceClose();
}

static void SigExit(int s)
{
    SysInstallSignal(s, SigExit);
    terminationRequested = 1;
}

// Prints the usage line; the run ends with 1.
static int Usage(void)
{
    DBG_PRINTF("%s(%d): Usage: %s [-d <host>[:<port>]] [-kickme] <filename> [<args>*]\n",
               bname);
    return 1;
}

void SetProgramName(char* av0)
{
    static char empty[] = "";
    char* slash;

    if (av0 == NULL) {
        bname = empty;
        return;
    }
    slash = strrchr(av0, '/');
    bname = slash ? slash + 1 : av0;
}

int HostlinkParseArgs(int ac, char** av, char* envAddress, HOSTLINK_ARGS* a)
{
    int i = 1;

    a->address = envAddress;
    a->resetIfConnected = 0;
    a->trace = NULL;
    a->root = NULL;
    a->filename = NULL;
    a->nargs = 0;
    a->args = NULL;

    while (i < ac && av[i][0] == '-') {
        char** value = strcmp(av[i], "-d") == 0       ? &a->address
                       : strcmp(av[i], "-trace") == 0 ? &a->trace
                       : strcmp(av[i], "-root") == 0  ? &a->root
                                                      : NULL;
        if (value != NULL) {
            if (i + 1 >= ac)
                return -1;
            *value = av[i + 1];
            i += 2;
        } else if (strcmp(av[i], "-kickme") == 0) {
            a->resetIfConnected = 1;
            i++;
        } else {
            return -1;
        }
    }
    if (i >= ac)
        return -1;
    // Everything after the file name belongs to the program, dashes or not.
    a->filename = av[i];
    a->nargs = ac - i - 1;
    a->args = a->nargs > 0 ? &av[i + 1] : NULL;
    return 0;
}

// Socket use, version 1.1 exactly, and this workstation's name.
static int StartSockets(void)
{
    uint16_t version = 0;

    if (NetStartup(0x101, &version) != 0) {
        DBG_PRINTF0("%s(%d): Unable to locate an appropriate WINSOCK.DLL\n");
        return 1;
    }
    if ((version & 0xff) != 1 || (version >> 8) != 1) {
        DBG_PRINTF0("%s(%d): Unable to get winsock v1.1\n");
        NetCleanup();
        return 1;
    }
    if (LinkHostName(hostName, (int)sizeof hostName) != 0) {
        DBG_PRINTF0("%s(%d): Unable to retrieve hostname\n");
        NetCleanup();
        return 1;
    }
    return RUN_ON;
}

// What the options ask for before anything is sent: the trace file, the
// fence of the served files, and the progress line (on a terminal, unless
// the trace goes there too). A trace file that cannot be made or a fence
// that is no directory ends the run with 1.
static int StartOptions(const HOSTLINK_ARGS* a)
{
    if (a->trace != NULL && TraceOpen(a->trace) < 0) {
        DBG_PRINTF("%s(%d): %s - cannot create trace file: %s\n", a->trace, strerror(errno));
        return 1;
    }
    if (a->root != NULL && FileSetFence(a->root) < 0) {
        DBG_PRINTF("%s(%d): %s - cannot open root directory: %s\n", a->root, strerror(errno));
        return 1;
    }
    ProgressEnable(SysIsTerminal(SYS_STDERR) && !TraceToStderr());
    return RUN_ON;
}

// The three connections, then the queue.
static int OpenLink(char* address)
{
    fdSock = ConnectNet(address);
    int s1 = fdSock >= 0 ? ConnectNet(address) : -1;
    int s2 = s1 >= 0 ? ConnectNet(address) : -1;
    if (s2 < 0) {
        NetCleanup();
        return -1;
    }
    socketBlock = (unsigned int)s1;
    socketBlock2 = (unsigned int)s2;
    TraceConnection(fdSock, 1);
    TraceConnection(s1, 2);
    TraceConnection(s2, 3);

    if (QueueCreate() < 0) {
        DBG_LINE("cannot allocate memory");
        NetCleanup();
        return -1;
    }
    return RUN_ON;
}

static int StartUp(int ac, char** av, HOSTLINK_ARGS* a)
{
    char* address = getenv("DSNETM");
    SysHoldStandardStreams();
    SysInstallSignals(SigExit);
    // A closed standard output is a failed write, reported as such.
    SysIgnoreBrokenPipe();
    atexit(Exit);
    SetProgramName(ac > 0 ? av[0] : NULL);

    if (ac < 2 || HostlinkParseArgs(ac, av, address, a) < 0)
        return Usage();
    resetIfConnected = a->resetIfConnected;
    HostlinkRoutes();

    int status = StartOptions(a);
    if (status == RUN_ON)
        status = StartSockets();
    return status == RUN_ON ? OpenLink(a->address) : status;
}

// ---- claiming, loading and serving ----------------------------------------------

// The target is held by this workstation: with -kickme it is reset, and
// either way the run ends here.
static int RunHeldHere(void)
{
    if (!resetIfConnected) {
        DBG_LINE("you're already connected");
        return -1;
    }
    SetWaitTimeout(1, 1);
    if (SendAndWaitReply(NetmpMakeReset(), (unsigned int)fdSock) > 0) {
        DBG_LINE("you're already connected - reset sent");
        return 0;
    }
    // The unanswered reset request.
    PKT* head = GetHeadPktByStat(-1);
    if (head != NULL)
        DelPacket(head);
    DBG_LINE("you're already connected - reset sent");
    return -1;
}

// Asks who holds the target; only a free target is taken.
static int RunClaim(void)
{
    if (SendAndWaitReply(NetmpMakeStatus(), (unsigned int)fdSock) < 0) {
        DBG_LINE(RUN_STATUS_FAILED);
        NetCleanup();
        return -1;
    }
    cleanupRequired = 1;

    if (machineFree == 0 && strcmp(MachineOwner(), MakeComment()) == 0)
        return RunHeldHere();
    if (machineFree == 0) {
        // Someone else's target: the run did not do what was asked of it.
        DBG_PRINTF("%s(%d): target owned by %s\n", MachineOwner());
        NetCleanup();
        cleanupRequired = 0;
        return -1;
    }
    return RUN_ON;
}

// Registers on all three connections, sends the comment on each, and
// resets the target.
static int RunRegister(void)
{
    // The first connection carries the run; the other two only register.
    static const uint8_t priorities[3] = {255, 208, 129};
    unsigned int conns[3] = {(unsigned int)fdSock, socketBlock, socketBlock2};

    // A run whose output is gone ends before it resets the target.
    for (int i = 0; i < 3; i++) {
        if (SendAndWaitReply(NetmpMakeConnect(priorities[i]), conns[i]) < 0) {
            DBG_LINE(RUN_CONNECT_FAILED);
            return -1;
        }
        if (DbOutputError() != 0)
            return RUN_OUTPUT_LOST;
    }
    for (int i = 0; i < 3; i++) {
        if (SendAndWaitReply(NetmpMakeComment(), conns[i]) < 0) {
            DBG_LINE(RUN_COMMENT_FAILED);
            return -1;
        }
        if (DbOutputError() != 0)
            return RUN_OUTPUT_LOST;
    }
    if (SendAndWaitReply(NetmpMakeReset(), (unsigned int)fdSock) < 0) {
        DBG_LINE(RUN_RESET_FAILED);
        return -1;
    }
    return RUN_ON;
}

static int EEConnected(void)
{
    return connected2ee != 0;
}

// The reset target's EE has to report in before anything is loaded.
static int RunWaitForEE(void)
{
    return WaitUntil((unsigned int)fdSock, EEConnected) < 0 ? -1 : RUN_ON;
}

static int RunLoad(char* filename, int nargs, char** args)
{
    if (DbgpPload(filename, nargs, args, (unsigned int)fdSock) < 0) {
        DBG_LINE("cannot download program");
        return -1;
    }
    return RUN_ON;
}

// A program file that cannot be loaded, or arguments too long to start it
// with, are refused before the target is claimed and reset: a mistyped
// name must not cost the target its state.
static int RunCheckProgram(const char* filename, int nargs, char** args)
{
    if (DbgpCheckProgram(filename, nargs, args) < 0) {
        DBG_LINE("cannot download program");
        return -1;
    }
    return RUN_ON;
}

// Serves until a wait fails, a request goes unanswered through a whole
// quiet wait, or the user asks the program to end. A quiet wait with
// nothing outstanding just starts the next one.
static int RunServe(void)
{
    int r = MySelect((unsigned int)fdSock);
    while (r >= 0) {
        if (DbOutputError() != 0)
            return RUN_OUTPUT_LOST;
        if (r == 0 && GetHeadPktByStat(PKT_AWAITING_REPLY) != NULL) {
            DBG_LINE("timeout");
            return -1;
        }
        if (terminationRequested == 1)
            return 0;
        r = MySelect((unsigned int)fdSock);
    }
    QueueDestroy();
    return 1;
}

// The run goes on after a phase that lets it, as long as what it prints
// still reaches standard output.
static int GoesOn(int status)
{
    return status == RUN_ON && DbOutputError() == 0;
}

static int RunSequence(char* filename, int nargs, char** args)
{
    int status = RunClaim();
    if (GoesOn(status))
        status = RunCheckProgram(filename, nargs, args);
    if (GoesOn(status))
        status = RunRegister();
    if (GoesOn(status))
        status = RunWaitForEE();
    if (GoesOn(status))
        status = RunLoad(filename, nargs, args);
    if (GoesOn(status))
        status = RunServe();
    return status;
}

int HostlinkMain(int ac, char** av)
{
    HOSTLINK_ARGS a;

    int status = StartUp(ac, av, &a);
    if (GoesOn(status))
        status = RunSequence(a.filename, a.nargs, a.args);
    // Output that could not be written is the run's failure, whatever the
    // run had come to: nobody saw its lines.
    if (DbOutputError() != 0) {
        DbReportOutputError();
        status = RUN_OUTPUT_LOST;
    }
    // The only end of the program: the exit handler runs from here.
    exit(status);
}
