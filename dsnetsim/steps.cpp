// Step builders, packet framing and the named scenarios of the program.
#include <string.h>
#include <unistd.h>

#include "dsnetsim.h"
#include "simwire.h"

std::vector<uint8_t> SimPacket(uint16_t proto, uint8_t src, uint8_t dst,
                               const std::vector<uint8_t>& body)
{
    // A body too long for the 16-bit length is cut: the header must stay true.
    size_t n = body.size() > 65535 - 8 ? 65535 - 8 : body.size();
    std::vector<uint8_t> p(8 + n);
    SimPut16(&p[0], (uint16_t)(8 + n));
    SimPut16(&p[2], 0);
    SimPut16(&p[4], proto);
    p[6] = src;
    p[7] = dst;
    if (n)
        memcpy(&p[8], body.data(), n);
    return p;
}

static SimStep Make(int kind)
{
    SimStep s;
    s.kind = kind;
    return s;
}

// A step that lasts ms milliseconds (none for a negative count).
static SimStep MakeTimed(int kind, int ms)
{
    SimStep s = Make(kind);
    s.a = ms > 0 ? (uint32_t)ms : 0;
    return s;
}

SimStep SimTty(const std::string& text)
{
    SimStep s = Make(SIM_STEP_TTY);
    s.data = text;
    return s;
}

SimStep SimDcmp(int type, int code, int proto)
{
    SimStep s = Make(SIM_STEP_DCMP);
    s.a = (uint32_t)type;
    s.b = (uint32_t)code;
    s.c = (uint32_t)proto;
    return s;
}

SimStep SimRaw(const std::vector<uint8_t>& bytes)
{
    SimStep s = Make(SIM_STEP_RAW);
    s.data.assign(bytes.begin(), bytes.end());
    return s;
}

SimStep SimBreak(int code, int result)
{
    SimStep s = Make(SIM_STEP_BREAK);
    s.a = (uint32_t)code;
    s.b = (uint32_t)result;
    return s;
}

SimStep SimDrfpOpen(const std::string& name)
{
    SimStep s = Make(SIM_STEP_DRFP);
    s.a = 0;
    s.data = name;
    return s;
}

SimStep SimDrfpOpenArg(int argIndex, const std::string& fallback)
{
    SimStep s = SimDrfpOpen(fallback);
    s.argIndex = argIndex;
    return s;
}

SimStep SimDrfpSeek(int32_t offset, uint32_t base)
{
    SimStep s = Make(SIM_STEP_DRFP);
    s.a = 8;
    s.b = (uint32_t)offset;
    s.c = base;
    return s;
}

SimStep SimDrfpRead(uint32_t count)
{
    SimStep s = Make(SIM_STEP_DRFP);
    s.a = 4;
    s.b = count;
    return s;
}

SimStep SimDrfpClose()
{
    SimStep s = Make(SIM_STEP_DRFP);
    s.a = 2;
    return s;
}

SimStep SimDrfpCode(uint32_t code, bool expectReply)
{
    SimStep s = Make(SIM_STEP_DRFP);
    s.a = code;
    s.noReply = !expectReply;
    return s;
}

SimStep SimDrfpReadAll(uint32_t chunk)
{
    SimStep s = Make(SIM_STEP_DRFP_READALL);
    s.a = chunk;
    return s;
}

SimStep SimEchoRead() { return Make(SIM_STEP_ECHO_READ); }

SimStep SimSleep(int ms) { return MakeTimed(SIM_STEP_SLEEP, ms); }

SimStep SimWaitSamples(int count, int timeoutMs)
{
    SimStep s = Make(SIM_STEP_WAIT_SAMPLES);
    s.a = count > 0 ? (uint32_t)count : 0;
    s.b = timeoutMs > 0 ? (uint32_t)timeoutMs : 0;
    return s;
}

SimStep SimCloseAfter(const std::vector<uint8_t>& bytes, size_t keep)
{
    SimStep s = Make(SIM_STEP_CLOSE);
    s.data.assign(bytes.begin(), bytes.end());
    s.a = (uint32_t)keep;
    return s;
}

SimStep SimMark(const std::string& name)
{
    SimStep s = Make(SIM_STEP_MARK);
    s.data = name;
    return s;
}

SimStep SimDropReply() { return Make(SIM_STEP_DROP_REPLY); }

SimStep SimDeaf(int ms) { return MakeTimed(SIM_STEP_DEAF, ms); }

SimStep SimDrfpFlood(int count, uint32_t bytes, int deafMs)
{
    SimStep s = MakeTimed(SIM_STEP_DRFP_FLOOD, count);
    s.b = bytes;
    s.c = deafMs > 0 ? (uint32_t)deafMs : 0;
    return s;
}

SimStep SimCloseConn(int conn)
{
    SimStep s = Make(SIM_STEP_CLOSE_CONN);
    s.conn = conn;
    return s;
}

SimStep SimSync()
{
    SimStep s = SimDrfpClose();
    s.useHandle = false;
    s.d = 0;
    return s;
}

SimStep SimAt(int hook, SimStep s, int nth)
{
    s.hook = hook;
    s.nth = nth;
    s.beforeReply = false;
    return s;
}

SimStep SimBefore(int hook, SimStep s, int nth)
{
    s.hook = hook;
    s.nth = nth;
    s.beforeReply = true;
    return s;
}

std::string SimOwnComment()
{
    char host[260];
    if (gethostname(host, sizeof host - 1) != 0)
        host[0] = 0;
    host[sizeof host - 1] = 0;
    return std::string("@") + host + ", Norvane hostlink";
}

bool SimScenario(const char* name, SimConfig* cfg)
{
    *cfg = SimConfig();
    if (strcmp(name, "free") == 0) {
        cfg->steps.push_back(SimTty("dsnetsim: program started\r\n"));
        cfg->steps.push_back(SimSync());
        cfg->steps.push_back(SimMark("done"));
        return true;
    }
    if (strcmp(name, "owned") == 0) {
        cfg->owner = SIM_OWNER_SELF;
        return true;
    }
    if (strcmp(name, "other") == 0) {
        cfg->owner = SIM_OWNER_OTHER;
        cfg->ownerText = "@bench-7, target debugger";
        return true;
    }
    if (strcmp(name, "silent") == 0) {
        cfg->eeConnects = false;
        cfg->sampleOpens = false;
        return true;
    }
    if (strcmp(name, "demo") == 0) {
        // What the example program does: greet, copy the file named by its
        // first argument to the console, say goodbye. Pointer samples stay
        // off so the demo leaves the machine quiet.
        cfg->sampleOpens = false;
        cfg->steps.push_back(SimTty("demo: hello from the target\r\n"));
        cfg->steps.push_back(SimDrfpOpenArg(1, "hello.txt"));
        cfg->steps.push_back(SimDrfpReadAll(4096));
        cfg->steps.push_back(SimEchoRead());
        cfg->steps.push_back(SimDrfpClose());
        cfg->steps.push_back(SimTty("demo: done\r\n"));
        cfg->steps.push_back(SimSync());
        cfg->steps.push_back(SimMark("done"));
        return true;
    }
    return false;
}
