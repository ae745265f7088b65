// The message table built into the program where the system has none.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lookup.h"
#include "msg.h"
#include "names.h"

namespace {

struct Row {
    uint32_t id;
    std::string name;
    std::string text;
};

// The rows of a table of value, name and text (or of value and name alone
// when `withText` is false).
std::vector<Row> ReadTable(const char* path = WHATCODE_MESSAGES_TSV, bool withText = true)
{
    std::vector<Row> rows;
    FILE* f = fopen(path, "rb");
    EXPECT_NE(nullptr, f) << path;
    if (f == nullptr)
        return rows;
    static char line[8192];
    while (fgets(line, sizeof line, f) != nullptr) {
        size_t len = strlen(line);
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
            line[--len] = '\0';
        if (len == 0 || line[0] == '#')
            continue;
        char* tab1 = strchr(line, '\t');
        char* tab2 = tab1 ? strchr(tab1 + 1, '\t') : nullptr;
        EXPECT_EQ(withText, tab2 != nullptr) << line;
        if (tab1 == nullptr || (withText && tab2 == nullptr))
            continue;
        if (tab2 != nullptr)
            *tab2++ = '\0';
        rows.push_back({(uint32_t)strtoul(line, nullptr, 16), tab1 + 1, tab2 ? tab2 : ""});
    }
    fclose(f);
    return rows;
}

TEST(LookupMessage, BuiltInTableUnwrapsOnlyTheWin32Facility)
{
    EXPECT_EQ("Access is denied.\r\n", Lookup(0x80070005u));
    // Only that facility is unwrapped, and only to codes that have a text.
    EXPECT_EQ("", Lookup(0x80060005u));
    EXPECT_EQ("", Lookup(0x0007FFFFu));
    EXPECT_EQ("", Lookup(0x8007FFFFu));

    // The whole low word is the code: every listed code below 0x10000 reads
    // the same wrapped, unless the wrapped value has an entry of its own.
    std::vector<Row> rows = ReadTable();
    std::set<uint32_t> ids;
    for (const Row& r : rows)
        ids.insert(r.id);
    size_t wrapped = 0;
    for (const Row& r : rows) {
        uint32_t hr = 0x80070000u | r.id;
        if (r.id > 0xFFFFu || ids.count(hr))
            continue;
        ASSERT_EQ(r.text + "\r\n", Lookup(hr)) << std::hex << hr;
        wrapped++;
    }
    EXPECT_GT(wrapped, 2000u);
}

// Every entry of the source table reads back letter for letter (quotes,
// backslashes and all), and the values between entries read as unknown.
TEST(LookupMessage, BuiltInTableMatchesItsSource)
{
    std::vector<Row> rows = ReadTable();
    ASSERT_GT(rows.size(), 5000u);
    std::set<uint32_t> ids;
    for (const Row& r : rows)
        ids.insert(r.id);
    for (const Row& r : rows) {
        ASSERT_EQ(r.text + "\r\n", Lookup(r.id)) << std::hex << r.id;
        for (uint32_t near : {r.id - 1, r.id + 1}) {
            bool unwraps = (near & 0xFFFF0000u) == 0x80070000u && ids.count(near & 0xFFFFu);
            if (!ids.count(near) && !unwraps) {
                ASSERT_EQ("", Lookup(near)) << std::hex << near;
            }
        }
    }
}

// Every name of both tables finds its value, in any case, and is among the
// names shown for that value.
TEST(Names, EveryNameOfTheSourceTablesFindsItsValue)
{
    std::vector<Row> rows = ReadTable();
    std::vector<Row> hresults = ReadTable(WHATCODE_NAMES_TSV, false);
    ASSERT_EQ(4u, hresults.size());
    rows.insert(rows.end(), hresults.begin(), hresults.end());
    for (const Row& r : rows) {
        std::string lower = r.name;
        for (char& c : lower)
            c = (char)tolower((unsigned char)c);
        uint32_t v = 0;
        ASSERT_EQ(1, FindNamedValue(lower.c_str(), &v)) << r.name;
        ASSERT_EQ(r.id, v) << r.name;
        char names[256];
        FormatValueNames(r.id, names, sizeof names);
        std::string line = std::string(" ") + names + " ";
        ASSERT_NE(std::string::npos, line.find(" " + r.name + " ")) << line;
    }
}

}  // namespace
