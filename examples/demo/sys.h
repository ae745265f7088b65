#ifndef DEMO_SYS_H
#define DEMO_SYS_H

#define O_RDONLY 0

int sys_write(int fd, const void *buf, int len);
int sys_open(const char *name, int flags);
int sys_read(int fd, void *buf, int len);
int sys_close(int fd);
void _exit(int status);

#endif
