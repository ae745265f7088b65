/* The handful of system calls the demo program needs. The kernel passes
 * file requests whose name starts with "host:" on to the workstation, which
 * serves them from its own disk. */
#include "sys.h"

#define SYS_EXIT 1
#define SYS_WRITE 4
#define SYS_OPEN 5
#define SYS_CLOSE 6
#define SYS_READ 3

static int syscall3(int num, int a, int b, int c)
{
    register int v0 __asm__("$2") = num;
    register int a0 __asm__("$4") = a;
    register int a1 __asm__("$5") = b;
    register int a2 __asm__("$6") = c;
    __asm__ volatile("syscall" : "+r"(v0) : "r"(a0), "r"(a1), "r"(a2) : "memory");
    return v0;
}

int sys_write(int fd, const void *buf, int len)
{
    return syscall3(SYS_WRITE, fd, (int)buf, len);
}

int sys_open(const char *name, int flags)
{
    return syscall3(SYS_OPEN, (int)name, flags, 0);
}

int sys_read(int fd, void *buf, int len)
{
    return syscall3(SYS_READ, fd, (int)buf, len);
}

int sys_close(int fd)
{
    return syscall3(SYS_CLOSE, fd, 0, 0);
}

void _exit(int status)
{
    syscall3(SYS_EXIT, status, 0, 0);
    for (;;)
        ;
}
