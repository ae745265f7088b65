// The program-wide state the modules share. The main module owns it; the
// protocol modules and the link read and set it through these, and nothing
// here reaches back into the run.
#ifndef HOSTLINK_STATE_H
#define HOSTLINK_STATE_H

#include <signal.h>

#define TEXT_BUF_SIZE 260

// "@<host name>, Norvane hostlink", rebuilt on every call.
char* MakeComment(void);
// 1 while no owner of the target is known.
void SetMachineFree(int i);
// The owner's comment text from the status reply: TEXT_BUF_SIZE bytes,
// writable.
char* MachineOwner(void);
// This program's own base name.
char* ProgramName(void);
// The workstation's host name: TEXT_BUF_SIZE bytes, writable.
char* HostName(void);

// The link's state, all on the one thread: the target's EE has connected;
// the target has opened the sample protocol; a termination signal has
// arrived (the only datum written outside the thread, by the handler).
extern int connected2ee;
extern int sampleProtoOpened;
extern volatile sig_atomic_t terminationRequested;

#endif
