// Program entry: the whole run lives in the main module so that the tests
// link the same code.
#include "main.h"

int main(int ac, char** av)
{
    return HostlinkMain(ac, av);
}
