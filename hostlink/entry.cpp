// Program entry: the whole run lives in the main module so that the tests
// link the same code.
#include "main.h"
#include "platform.h"

int main(int ac, char** av)
{
    // On Windows the names on the command line come whole from the wide
    // form of it, as UTF-8; elsewhere they are the bytes given.
    av = SysProgramArguments(&ac, av);
    return HostlinkMain(ac, av);
}
