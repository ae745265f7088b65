// Small helpers the hostlink unit tests share: byte buffers, diagnostic
// output with its line numbers blanked, the sample program, scratch files,
// and the few process and file services the tests ask of the system (the
// tests' own platform line: nothing else in the tests asks which system
// it runs on).
#ifndef HOSTLINK_TESTUTIL_H
#define HOSTLINK_TESTUTIL_H

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

// The status exit(-1) leaves: the system keeps all of it on Windows, the
// low byte elsewhere.
#ifdef _WIN32
static const int kExitMinusOne = -1;
#else
static const int kExitMinusOne = 255;
#endif

static inline long TestPid()
{
#ifdef _WIN32
    return (long)_getpid();
#else
    return (long)getpid();
#endif
}

// Standard output onto standard error, where death tests read: the
// program's diagnostics go to standard output.
static inline void TestStdoutToStderr()
{
    fflush(stdout);
#ifdef _WIN32
    _dup2(2, 1);
#else
    dup2(2, 1);
#endif
}

// Whether the system has FIFOs (and /dev/null) to name.
#ifdef _WIN32
static const bool kTestHasFifos = false;
#else
static const bool kTestHasFifos = true;
#endif

// A FIFO at `path`; false where the system has none.
static inline bool TestMakeFifo(const char* path)
{
#ifdef _WIN32
    (void)path;
    return false;
#else
    return mkfifo(path, 0600) == 0;
#endif
}

// The descriptors (on Windows, the handles) the process holds.
static inline long TestOpenDescriptors()
{
#ifdef _WIN32
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return (long)n;
#else
    long max = sysconf(_SC_OPEN_MAX), n = 0;
    for (long fd = 0; fd < max && fd < 65536; fd++)
        n += fcntl((int)fd, F_GETFD) != -1;
    return n;
#endif
}

// Whether file names are bytes, as they are on POSIX; on Windows a name the
// target sends is read as UTF-8, else in the ANSI code page (returned by
// TestAnsiCodePage, 0 where there is none).
#ifdef _WIN32
static const bool kTestNamesAreBytes = false;
static inline unsigned TestAnsiCodePage() { return GetACP(); }
#else
static const bool kTestNamesAreBytes = true;
static inline unsigned TestAnsiCodePage() { return 0; }
#endif

// A symbolic link at `path` to `target`; false where none can be made.
static inline bool TestMakeLink(const char* target, const char* path)
{
#ifdef _WIN32
    (void)target;
    (void)path;
    return false;
#else
    return symlink(target, path) == 0;
#endif
}

// Raises a signal in `seconds` (0 cancels it), handled by `handler`; false
// where the system has no such timer.
static inline bool TestAlarm(unsigned seconds, void (*handler)(int))
{
#ifdef _WIN32
    (void)seconds;
    (void)handler;
    return false;
#else
    // Without SA_RESTART, as the program's own handlers: the signal cuts
    // the call it meets short.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    alarm(seconds);
    return true;
#endif
}

// Line numbers change with every edit; the file name and the text do not.
static inline std::string BlankLineNumbers(std::string s)
{
    for (size_t i = s.find('('); i != std::string::npos; i = s.find('(', i + 1)) {
        size_t j = s.find_first_not_of("0123456789", i + 1);
        if (j != std::string::npos && j > i + 1 && s[j] == ')')
            s.replace(i + 1, j - i - 1, "N");
    }
    return s;
}

// The sample target program in examples/.
static inline std::string FixturePath()
{
    std::string f = __FILE__;
    size_t slash = f.find_last_of("/\\");
    return (slash == std::string::npos ? std::string(".") : f.substr(0, slash)) +
           "/../../examples/demo.elf";
}

static inline Bytes ReadAll(const std::string& path)
{
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return b;
    unsigned char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    return b;
}

// Scratch files written by a test, removed by RemoveTemps when it ends.
static std::vector<std::string> temps;

static inline std::string WriteTempAs(const std::string& prefix, const std::string& name,
                                      const Bytes& data)
{
    long pid = TestPid();
    // The process id keeps test processes that run side by side apart.
    std::string path = testing::TempDir() + prefix + std::to_string(pid) + "_" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f) {
        if (!data.empty())
            fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    temps.push_back(path);
    return path;
}

static inline void RemoveTemps()
{
    for (const std::string& t : temps)
        remove(t.c_str());
    temps.clear();
}

#endif
