// What the DBGP loader's tests share: wire records built and decoded, and
// a target behind the loader's send step that records every request. Each
// test file is a program of its own, so each has its own copy of the
// recorded state.
#ifndef HOSTLINK_TESTS_DBGP_FIXTURE_H
#define HOSTLINK_TESTS_DBGP_FIXTURE_H

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dbgp.h"
#include "dbgp_internal.h"
#include "deci2.h"
#include "main.h"
#include "testutil.h"

// Line numbers change with every edit; the file name and the text do not.
static inline std::string Lines(const std::string& out)
{
    std::string r;
    for (size_t i = 0; i < out.size(); i++) {
        size_t j = i + 1;
        while (out[i] == '(' && j < out.size() && isdigit((unsigned char)out[j]))
            j++;
        if (out[i] == '(' && j > i + 1 && out.compare(j, 3, "): ") == 0) {
            r += "(N";
            i = j - 1;
        } else {
            r += out[i];
        }
    }
    return r;
}

static inline Bytes Conf(uint32_t memAlign, uint32_t limitAlign = 0, uint32_t limitSize = 0)
{
    Bytes c(DBGP_CONF_SIZE, 0);
    PutLE32(&c[0], 3);  // major_ver
    PutLE32(&c[16], memAlign);
    PutLE32(&c[48], limitAlign);
    PutLE32(&c[52], limitSize);
    return c;
}

static inline Bytes Reply(uint8_t type, uint8_t result, const Bytes& more = Bytes(), uint8_t code = 0)
{
    // Sized once and filled in place: growing an 8-byte vector here draws a
    // false bounds warning from some optimising compilers.
    Bytes b(DBGP_HDR_SIZE + more.size(), 0);
    b[DBGP_OFF_TYPE] = type;
    b[DBGP_OFF_CODE] = code;
    b[DBGP_OFF_RESULT] = result;
    std::copy(more.begin(), more.end(), b.begin() + DBGP_HDR_SIZE);
    return b;
}

// One memory write as it left, checked for the fields every write must get
// right whatever its content.
struct Write {
    int k;
    uint32_t adr;
    uint32_t n;
    size_t total;
    Bytes data;
};

// ---- a target behind the loader's send step --------------------------------
//
// Records every request, answers the configuration request with `conf`, and
// fails the request numbered `failAt` (0 = the first) as a failed exchange.

static std::vector<Bytes> sent;
static Bytes conf;
static int failAt = -1;

static inline int FakeTarget(void* buf, unsigned int)
{
    if (!buf)
        return -1;
    const unsigned char* p = (const unsigned char*)buf;
    Bytes b(p, p + GetLE16(p));
    free(buf);
    sent.push_back(b);
    if ((int)sent.size() - 1 == failAt)
        return -1;
    if (b.size() >= 16 && b[8 + DBGP_OFF_TYPE] == DBGP_TYPE_GETCONF)
        DbgpStoreConf(conf.data());
    return 1;
}

class Dbgp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QueueCreate(), 0);
        sent.clear();
        failAt = -1;
        conf = Conf(0x1f);
        DbgpStoreConf(conf.data());
        DbgpSetSender(FakeTarget);
        SetProgramName(progPath);
    }
    void TearDown() override
    {
        DbgpSetSender(NULL);
        QueueDestroy();
        RemoveTemps();
    }

    void SetConf(const Bytes& c)
    {
        conf = c;
        DbgpStoreConf(conf.data());
    }

    // Recorded requests [from, to) must be memory writes; returns them decoded.
    std::vector<Write> Writes(size_t from = 0, size_t to = (size_t)-1)
    {
        std::vector<Write> w;
        for (size_t i = from; i < sent.size() && i < to; i++) {
            const Bytes& b = sent[i];
            EXPECT_GE(b.size(), (size_t)DBGP_WRMEM_NHDR);
            if (b.size() < DBGP_WRMEM_NHDR)
                break;
            EXPECT_EQ(GetLE16(&b[0]), b.size());
            EXPECT_EQ(GetLE16(&b[4]), PROTO_DBGP);
            EXPECT_EQ(b[6], NODE_HOST);
            EXPECT_EQ(b[7], NODE_EE);
            EXPECT_EQ(b[8 + DBGP_OFF_TYPE], DBGP_TYPE_WRMEM);
            EXPECT_EQ(b[8 + DBGP_OFF_COUNT], 1);
            Write x;
            x.k = b[17];
            x.adr = GetLE32(&b[20]);
            x.n = GetLE32(&b[24]);
            x.total = b.size();
            size_t asize = (size_t)1 << x.k;
            size_t npad = ((DBGP_WRMEM_NHDR + asize - 1) & ~(asize - 1)) - DBGP_WRMEM_NHDR;
            EXPECT_EQ(b.size(), DBGP_WRMEM_NHDR + npad + x.n) << "write " << i;
            EXPECT_EQ((DBGP_WRMEM_NHDR + npad) % asize, 0u);
            for (size_t j = DBGP_WRMEM_NHDR; j < DBGP_WRMEM_NHDR + npad && j < b.size(); j++)
                EXPECT_EQ(b[j], 0) << "padding of write " << i;
            if (b.size() >= DBGP_WRMEM_NHDR + npad)
                x.data.assign(b.begin() + DBGP_WRMEM_NHDR + npad, b.end());
            w.push_back(x);
        }
        return w;
    }

    // Loads `len` bytes at `adr` and checks that the writes cover them
    // exactly, in ascending order, with the right bytes.
    std::vector<Write> Load(uint32_t adr, int len)
    {
        Bytes src(len);
        for (int i = 0; i < len; i++)
            src[i] = (unsigned char)(i * 7 + 3);
        EXPECT_EQ(DbgpDownLoad(adr, src.data(), len, 0), 0);
        std::vector<Write> w = Writes();
        uint32_t at = adr;
        Bytes got;
        for (const Write& x : w) {
            EXPECT_EQ(x.adr, at);
            at += x.n;
            got.insert(got.end(), x.data.begin(), x.data.end());
        }
        EXPECT_TRUE(got == src);
        return w;
    }

    char progPath[32] = "some/dir/hlink6";
};

#endif
