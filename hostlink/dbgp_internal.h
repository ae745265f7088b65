// The DBGP module's own records and helpers, shared with its tests only.
#ifndef HOSTLINK_DBGP_INTERNAL_H
#define HOSTLINK_DBGP_INTERNAL_H

#include <stdint.h>

// Message types; a reply carries its request's type plus one.
#define DBGP_TYPE_GETCONF 0x00
#define DBGP_TYPE_GETCONFR 0x01
#define DBGP_TYPE_WRMEM 0x0a
#define DBGP_TYPE_WRMEMR 0x0b
#define DBGP_TYPE_BREAKR 0x15
#define DBGP_TYPE_RUN 0x18
#define DBGP_TYPE_RUNR 0x19

// Wire sizes and offsets. The body of every packet starts with the 8-byte
// DBGP header: id u16, type u8, code u8, result u8, count u8, unused u16.
#define DBGP_HDR_SIZE 8
#define DBGP_OFF_TYPE 2
#define DBGP_OFF_CODE 3
#define DBGP_OFF_RESULT 4
#define DBGP_OFF_COUNT 5
#define DBGP_CONF_SIZE 68
#define DBGP_MEM_SIZE 12
#define DBGP_EERUN_SIZE 20
#define DBGP_GETCONF_PKT_SIZE (8 + DBGP_HDR_SIZE + DBGP_CONF_SIZE)    // 84
#define DBGP_WRMEM_NHDR (8 + DBGP_HDR_SIZE + DBGP_MEM_SIZE)           // 28
#define DBGP_RUN_FIXED (8 + DBGP_HDR_SIZE + DBGP_EERUN_SIZE)          // 36
#define DBGP_MAX_ALIGN 10

// The target's debug configuration, decoded into host integers.
typedef struct DBGP_CONF_DATA {
    uint32_t major_ver;
    uint32_t minor_ver;
    uint32_t target_id;
    uint32_t reserved1;
    uint32_t mem_align;  // bit k: writes of alignment code k are accepted
    uint32_t reserved2;
    uint32_t reg_size;
    uint32_t nreg;
    uint32_t nbrkpt;
    uint32_t ncont;
    uint32_t nstep;
    uint32_t nnext;
    struct {
        uint32_t mem_limit_align;  // bit k: writes of code k are size-limited
        uint32_t mem_limit_size;   // largest whole packet for such writes
    } v1;
    struct {
        uint32_t run_stop_state;
        uint32_t hdbg_area_addr;
        uint32_t hdbg_area_size;
    } v3;
} DBGP_CONF_DATA;

static_assert(sizeof(DBGP_CONF_DATA) == DBGP_CONF_SIZE, "configuration record is 68 bytes");

// Stores a configuration decoded from the 68 wire bytes at `p` and derives
// the bulk alignment code from it, as a successful reply does.
void DbgpStoreConf(const unsigned char* p);
const DBGP_CONF_DATA* DbgpConf(void);
int DbgpMaxMemAlign(void);

// How each request leaves: SendAndWaitReply unless a test puts its own
// exchange in its place (null restores the real one).
typedef int (*DbgpSendFn)(void* buf, unsigned int socket);
void DbgpSetSender(DbgpSendFn fn);

// Data bytes one memory-write packet of alignment code `k` may carry, with
// the zero padding that precedes them in `*npad`; 0 when the target's size
// limit leaves no room for a single unit.
int DbgpWrMemCap(int k, int* npad);

void* DbgpMakeGetconf(void);
// Bytes the run request's strings take: the program's own name and the
// arguments, each with its terminator.
int CalcArgvLen(int argc, char** argv);
// Null when the heap is exhausted or the request would not fit one packet.
void* DbgpMakeRun(uint32_t entry, uint32_t gp, int argc, char** argv);
int DbgpWrMem(uint8_t align, uint32_t adr, const unsigned char* ptr, int len, unsigned int socket);
int DbgpDownLoad(uint32_t adr, const unsigned char* ptr, int len, unsigned int socket);

// Where the data of the memory writes comes from: `mem` when it is not
// null, otherwise the file `fd` from its current position on, each piece
// read straight into the packet that carries it.
typedef struct DBGP_SOURCE {
    const unsigned char* mem;
    int fd;
} DBGP_SOURCE;

int DbgpWrMemFrom(uint8_t align, uint32_t adr, DBGP_SOURCE* src, int len, unsigned int socket);
int DbgpDownLoadFrom(uint32_t adr, DBGP_SOURCE* src, int len, unsigned int socket);

#endif
