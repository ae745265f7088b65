// The one place where hostlink calls the operating system: sockets, the
// host name, files, signals and the debugger output. Each call is as narrow
// as its caller needs; what is the same on every system (checking a name
// lookup's answer, cutting a host name to its buffer) is done above this
// line. Sockets and files are plain integers here; each side converts to
// its platform's handle type.
#ifndef HOSTLINK_PLATFORM_H
#define HOSTLINK_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// ---- sockets ---------------------------------------------------------------

#define NET_INADDR_NONE 0xffffffffu
#define NET_AF_INET 2

// Starts socket use asking for `version` (0x101: major 1, minor 1) and
// reports the version obtained. 0 on success.
int NetStartup(uint16_t version, uint16_t* got);
void NetCleanup(void);

// The system's gethostname into `buf` of `size` bytes; 0 on success. The
// text may be left unterminated when the name does not fit.
int NetGetHostName(char* buf, int size);
// The system's name lookup: the first IPv4 address of `host` (network byte
// order) and its family. 0 when the name was found.
int NetLookup(const char* host, uint32_t* addr, int* family);
// A dotted numeric address in network byte order, or NET_INADDR_NONE.
uint32_t NetInetAddr(const char* host);
// True when `text` is an IPv6 address ("::1", "fe80::1").
int NetIsIPv6Address(const char* text);

// A blocking TCP stream socket, or -1.
int NetSocket(void);
// `addr` in network byte order, `port` in host byte order. 0 on success.
int NetConnect(int s, uint32_t addr, int family, uint16_t port);
// Never waits for room: the bytes the socket took at once (possibly fewer
// than asked), or -1. After -1, NetWouldBlock tells whether the socket was
// only full. Never raises a signal for a closed peer.
int NetSendSome(int s, const void* buf, int len);
// The same for `len` bytes at `buf` followed by `len2` at `buf2`, in one
// call: two packets leave together instead of one after the other.
int NetSendPair(int s, const void* buf, int len, const void* buf2, int len2);
int NetWouldBlock(void);
// Bytes received, 0 when the peer has closed, -1 on error.
int NetRecv(int s, void* buf, int len);
// The same without waiting: -1 with NetWouldBlock when nothing is there.
int NetRecvSome(int s, void* buf, int len);
void NetClose(int s);

// Waits up to `ms` milliseconds (0: only looks) for `s` to become readable
// when `wantRead`, writable when `wantWrite`. >0 ready, 0 timed out, -1
// failed (see NetInterrupted). A socket with an error or a closed peer is
// ready for what was asked, so the call that follows reports it. No limit
// on the socket's number.
int NetPoll(int s, int wantRead, int wantWrite, int ms, int* readable, int* writable);
// Milliseconds from some fixed moment, never going back.
uint64_t SysMilliseconds(void);
// True when the last failed call above was cut short by a signal.
int NetInterrupted(void);

// ---- files -----------------------------------------------------------------

// The separator of this system's paths, and the other one, which names the
// same thing in a path the target sends.
extern const char FILE_SEPARATOR;
extern const char FILE_FOREIGN_SEPARATOR;

// Opens `name` read-only and without newline translation: a descriptor (0
// or more), or -1 when the name cannot be opened or names anything but an
// ordinary file (a directory, a FIFO, a device), without waiting for such a
// thing.
int FileOpenRead(const char* name);
// Bytes read into `buf` (fewer than `len` when the file ends or the call
// returns early), 0 at the end of the file, -1 on error.
int FileRead(int fd, void* buf, unsigned int len);
// Moves to `off` from SEEK_SET, SEEK_CUR or SEEK_END: the new position, or
// -1. Positions are 64 bits wide on every system.
int64_t FileSeek(int fd, int64_t off, int whence);
void FileClose(int fd);
// An ordinary file, opened as a binary stream for reading; null when the
// name cannot be opened or names anything else (a directory, a FIFO, a
// device), without waiting for such a thing. Below the fence, when one is
// set (FileSetFence).
FILE* FileOpenRegularStream(const char* name);
// Fences the files FileOpenRegularStream opens in below the directory
// `dir`: a name is resolved from there (an absolute one too), and one that
// leads out of it by `..` or by a link (a junction on Windows) opens
// nothing, judged by what the system resolves, not by the text. Null lifts
// the fence. 0, or -1 (errno set) when `dir` is no directory to open.
int FileSetFence(const char* dir);
// Where the system has no resolution of its own that stays below a
// directory, the fence walks the name a component at a time; this forces
// that walk, for the tests.
void FileFenceByWalk(int on);
// A name the target sent, as this system's name in UTF-8 on Windows (read
// as UTF-8 where it is valid UTF-8, else in the system's ANSI code page);
// elsewhere names are bytes and it is copied as it is. 0, or -1 when it
// does not fit in `size` bytes.
int FileNameFromTarget(const char* name, char* out, size_t size);
// A file created (or emptied) for writing, as a binary stream; null, with
// errno set, when it cannot be.
FILE* FileCreateStream(const char* name);
// The position of a stream opened above, and a move in it, 64 bits wide on
// every system. FileStreamTell: the position, or -1. FileStreamSeek: moves
// by `off` from SEEK_SET, SEEK_CUR or SEEK_END; 0, or -1 when it did not.
int64_t FileStreamTell(FILE* fp);
int FileStreamSeek(FILE* fp, int64_t off, int whence);

// ---- the process -----------------------------------------------------------

// Second destination of diagnostics, where the platform has one: `text`
// is UTF-8 text when `isText`, otherwise bytes passed on as they are.
void SysDebugOutput(const char* text, int isText);

#define SYS_STDOUT 1
#define SYS_STDERR 2
// Writes the UTF-8 `text` to standard output or standard error (SYS_*) and
// flushes it: to a console with the console's own wide output, so that every
// script shows; anywhere else as its bytes. 0, or -1 with errno set.
int SysWriteText(int stream, const char* text);
// Writes `len` bytes as they are, whatever the stream is. 0, or -1.
int SysWriteBytes(int stream, const char* bytes, size_t len);
// True when the stream (SYS_*) is a terminal or console.
int SysIsTerminal(int stream);
// Microseconds from some fixed moment, never going back.
uint64_t SysMicroseconds(void);
// The program's arguments: on Windows from the wide command line, each
// carried as UTF-8 from here on (`av` unless that fails); elsewhere `av`.
char** SysProgramArguments(int* ac, char** av);

// Installs `handler` for the termination signals the platform has, so that
// a signal interrupts a wait in progress instead of restarting it.
void SysInstallSignals(void (*handler)(int));
void SysInstallSignal(int sig, void (*handler)(int));
// Gives each standard stream that the program was started without (a closed
// descriptor) a stand-in that cannot be written, so that no socket or file
// takes its number and receives what is printed: writes there fail, and are
// reported as failed writes.
void SysHoldStandardStreams(void);
// A write to a pipe that nobody reads any more fails, and is reported as a
// failed write, instead of ending the program where the system would.
void SysIgnoreBrokenPipe(void);

#endif
