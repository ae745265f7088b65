// Small helpers the hostlink unit tests share: byte buffers, diagnostic
// output with its line numbers blanked, the sample program, scratch files.
#ifndef HOSTLINK_TESTUTIL_H
#define HOSTLINK_TESTUTIL_H

#include <gtest/gtest.h>

#include <stdio.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

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
#ifdef _WIN32
    long pid = (long)_getpid();
#else
    long pid = (long)getpid();
#endif
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
