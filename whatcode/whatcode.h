// The run of whatcode: for each error value on the command line, the value
// in three notations and the system's message text for it.
#ifndef WHATCODE_WHATCODE_H
#define WHATCODE_WHATCODE_H

// The whole run over `argc` and `argv` as the program receives them; the
// exit status (0 all found, 1 help shown, 2 no value, 3 some value failed
// or standard output could not be written).
int WhatcodeMain(int argc, char** argv);

#endif
