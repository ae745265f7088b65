// The main module's entry and what its tests reach: the command line and
// the routing of received packets to the protocol modules. No other module
// includes this; the state the modules share is in state.h.
#ifndef HOSTLINK_MAIN_H
#define HOSTLINK_MAIN_H

// What the command line asks for.
typedef struct HOSTLINK_ARGS {
    char* address;         // "-d" value, else DSNETM, else null
    int resetIfConnected;  // -kickme
    char* trace;           // "-trace" file ("-": standard error), else null
    char* root;            // "-root" directory of the served files, else null
    char* filename;        // the EE program
    int nargs;             // program arguments after the file name
    char** args;           // null when nargs is 0
} HOSTLINK_ARGS;

// 0 when the command line is complete, -1 when the usage must be shown.
int HostlinkParseArgs(int ac, char** av, char* envAddress, HOSTLINK_ARGS* a);
// The program's own base name from av[0]: the text after the last '/'.
void SetProgramName(char* av0);
// Routes every protocol a received packet can carry to its handler; done
// at start-up, before the first wait.
void HostlinkRoutes(void);
// A whole run; ends the process with the run's exit status.
int HostlinkMain(int ac, char** av);

#endif
