// The target's debug side: the configuration, memory-write and run requests
// answered, each request's layout checked, and the written memory kept as
// extents so that a test can compare it with the program file's segments.
#include <string.h>

#include "session.h"
#include "simwire.h"

namespace simeng {

// Adds a write to the image, merging it with every extent it reaches into
// or touches.
static void ImageWrite(Sim* sim, uint32_t addr, const uint8_t* p, uint32_t n)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    sim->memBytes += n;
    sim->writes++;
    if (!sim->cfg.keepMemory)
        return;
    uint64_t end = (uint64_t)addr + n;
    auto it = sim->image.upper_bound(addr);
    if (it != sim->image.begin()) {
        auto prev = std::prev(it);
        uint64_t pend = (uint64_t)prev->first + prev->second.size();
        if (pend >= addr) {
            std::vector<uint8_t>& v = prev->second;
            size_t off = addr - prev->first;
            if (off + n > v.size())
                v.resize(off + n);
            memcpy(&v[off], p, n);
            end = (uint64_t)prev->first + v.size();
            it = prev;
        } else {
            it = sim->image.emplace(addr, std::vector<uint8_t>(p, p + n)).first;
        }
    } else {
        it = sim->image.emplace(addr, std::vector<uint8_t>(p, p + n)).first;
    }
    auto next = std::next(it);
    while (next != sim->image.end() && next->first <= end) {
        std::vector<uint8_t>& v = it->second;
        uint64_t nend = (uint64_t)next->first + next->second.size();
        if (nend > end) {
            size_t skip = (size_t)(end - next->first);
            v.insert(v.end(), next->second.begin() + (long)skip, next->second.end());
            end = nend;
        }
        next = sim->image.erase(next);
    }
}

static std::vector<uint8_t> DbgpReply(const uint8_t* req, uint8_t type, uint8_t result,
                                      const std::vector<uint8_t>& extra)
{
    std::vector<uint8_t> body(8 + extra.size(), 0);
    body[0] = req[0];
    body[1] = req[1];
    body[2] = type;
    body[4] = result;
    body[5] = req[5];
    if (!extra.empty())
        memcpy(&body[8], extra.data(), extra.size());
    return SimPacket(SIM_PROTO_DBGP, SIM_NODE_EE, SIM_NODE_HOST, body);
}

static void HandleGetconf(Sim* sim, int conn, const uint8_t* body)
{
    std::vector<uint8_t> conf(68, 0);
    SimPut32(&conf[0], 3);  // major version
    SimPut32(&conf[4], 0);
    SimPut32(&conf[16], sim->cfg.memAlign);
    SimPut32(&conf[48], sim->cfg.memLimitAlign);
    SimPut32(&conf[52], sim->cfg.memLimitSize);
    Answer(sim, SIM_AT_GETCONF, conn, DbgpReply(body, 0x01, sim->cfg.getconfResult, conf));
}

// Checks a write's unit code against what the target offered and its
// packet size against the limit; the padding before its data.
static uint32_t CheckWriteUnits(Sim* sim, unsigned k, uint32_t addr, uint32_t len, size_t n)
{
    if (k > 10) {
        Problem(sim, "memory write with alignment code %u", k);
        return 0;
    }
    uint32_t asize = 1u << k, amask = asize - 1;
    if (k > 0 && !(sim->cfg.memAlign & (1u << k)))
        Problem(sim, "memory write with alignment code %u the target did not offer", k);
    if (k > 0 && ((addr & amask) || (len & amask)))
        Problem(sim, "memory write of code %u at 0x%08x, %u bytes: not whole units", k, addr, len);
    if ((sim->cfg.memLimitAlign & (1u << k)) && n + 8 > sim->cfg.memLimitSize)
        Problem(sim, "memory write of %zu bytes over the limit %u", n + 8, sim->cfg.memLimitSize);
    return ((28 + amask) & ~amask) - 28;
}

static void HandleWrmem(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 20) {
        Problem(sim, "memory write body of %zu bytes", n);
        return;
    }
    const uint8_t* mem = body + 8;
    uint32_t addr = SimGet32(mem + 4);
    uint32_t len = SimGet32(mem + 8);
    uint32_t pad = CheckWriteUnits(sim, mem[1], addr, len, n);
    uint8_t result = sim->cfg.wrmemResult;
    if (sim->cfg.wrmemFailNth >= 0)
        result = sim->hookCount[SIM_AT_WRMEM] == sim->cfg.wrmemFailNth ? sim->cfg.wrmemResult : 0;
    if ((uint64_t)20 + pad + len != n) {
        Problem(sim, "memory write at 0x%08x: %u data bytes in a body of %zu", addr, len, n);
    } else if (result == 0) {
        ImageWrite(sim, addr, body + 20 + pad, len);
    }
    Answer(sim, SIM_AT_WRMEM, conn, DbgpReply(body, 0x0b, result, {}));
}

// The run request's argument lengths, then the NUL-terminated arguments.
static void ParseRunArgs(Sim* sim, const uint8_t* body, size_t n, SimRunInfo* info)
{
    size_t words = 28;
    if (info->argc > 4096 || words + 4ull * info->argc > n) {
        Problem(sim, "run request with argc %u in %zu bytes", info->argc, n);
        return;
    }
    size_t str = words + 4ull * info->argc;
    for (uint32_t i = 0; i < info->argc; i++) {
        uint32_t len = SimGet32(body + words + 4 * i);
        if (len == 0 || str + len > n || body[str + len - 1] != 0) {
            Problem(sim, "run argument %u: length %u does not fit", i, len);
            break;
        }
        info->args.emplace_back((const char*)body + str, len - 1);
        str += len;
    }
    if (str != n && info->args.size() == info->argc)
        Problem(sim, "run request: %zu bytes after the arguments", n - str);
}

static void HandleRun(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    SimRunInfo info;
    info.seen = true;
    if (n < 28) {
        Problem(sim, "run body of %zu bytes", n);
    } else {
        info.entry = SimGet32(body + 8);
        info.gp = SimGet32(body + 12);
        info.argc = SimGet32(body + 24);
        ParseRunArgs(sim, body, n, &info);
    }
    {
        std::lock_guard<std::mutex> lock(sim->mu);
        sim->run = info;
    }
    Answer(sim, SIM_AT_RUN, conn, DbgpReply(body, 0x19, sim->cfg.runResult, {}));
}

void HandleDbgp(Sim* sim, int conn, const uint8_t* body, size_t n)
{
    if (n < 8) {
        Problem(sim, "DBGP body of %zu bytes", n);
        return;
    }
    switch (body[2]) {
    case 0x00:
        HandleGetconf(sim, conn, body);
        break;
    case 0x0a:
        HandleWrmem(sim, conn, body, n);
        break;
    case 0x18:
        HandleRun(sim, conn, body, n);
        break;
    default:
        Problem(sim, "unexpected DBGP type 0x%02x", body[2]);
        break;
    }
}

}  // namespace simeng

// ---- public interface -----------------------------------------------------------

bool SimReadMem(Sim* sim, uint32_t addr, uint32_t len, std::vector<uint8_t>* out)
{
    std::lock_guard<std::mutex> lock(sim->mu);
    out->assign(len, 0);
    auto it = sim->image.upper_bound(addr);
    if (it == sim->image.begin())
        return len == 0;
    --it;
    uint64_t off = addr - it->first;
    if (off + len > it->second.size())
        return false;
    if (len)
        memcpy(out->data(), &it->second[(size_t)off], len);
    return true;
}

uint64_t SimMemBytes(Sim* sim) { return simeng::Locked(sim, sim->memBytes); }

int SimWrites(Sim* sim) { return simeng::Locked(sim, sim->writes); }

SimRunInfo SimRun(Sim* sim) { return simeng::Locked(sim, sim->run); }
