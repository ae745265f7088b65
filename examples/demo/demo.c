/* Demo program for the target: greets, then copies a file from the
 * workstation's disk to the console. Usage on the target: demo <file>. */
#include "sys.h"

static char banner[] __attribute__((aligned(4))) = "demo: hello from the target\n";
int verbose = 1;
static char line[128];
static char data[4096];
static int opened;

static int str_len(const char *s)
{
    int n = 0;
    while (s[n])
        n++;
    return n;
}

static void put(const char *s)
{
    sys_write(1, s, str_len(s));
}

/* Joins a and b into line, cut to fit. */
static const char *join(const char *a, const char *b)
{
    int n = 0;
    while (*a && n < (int)sizeof(line) - 1)
        line[n++] = *a++;
    while (*b && n < (int)sizeof(line) - 1)
        line[n++] = *b++;
    line[n] = 0;
    return line;
}

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "hello.txt";
    int fd, n;

    if (verbose)
        put(banner);
    fd = sys_open(join("host:", name), O_RDONLY);
    if (fd < 0) {
        put(join("demo: cannot open ", name));
        put("\n");
        return 1;
    }
    opened = 1;
    while ((n = sys_read(fd, data, sizeof(data))) > 0)
        sys_write(1, data, n);
    sys_close(fd);
    put("demo: done\n");
    return 0;
}
