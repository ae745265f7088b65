#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "lookup.h"
#include "msg.h"
#ifdef _WIN32
#include <wchar.h>
#include <windows.h>

#include "host.h"
#include "names.h"
#endif

namespace {

TEST(LookupMessage, KnownAndUnknownValues)
{
    EXPECT_GT(Lookup(2).size(), 2u);
    EXPECT_EQ("", Lookup(0xFFFFFFFFu));
    EXPECT_EQ("", Lookup(999999));
    FreeMessage(nullptr);
}

// Texts with inserts must come back with the inserts as they stand rather
// than not at all.
TEST(LookupMessage, TextsWithInsertsAreFound)
{
    std::string badExe = Lookup(193);
    EXPECT_NE(std::string::npos, badExe.find("%1")) << badExe;
}

TEST(LookupMessage, Win32FacilityHresultReadsAsItsCode)
{
    EXPECT_EQ(Lookup(5), Lookup(0x80070005u));
    EXPECT_EQ(Lookup(2), Lookup(0x80070002u));
    EXPECT_NE("", Lookup(0x80070005u));
    // Without the severity bit it is no HRESULT of that facility.
    EXPECT_EQ("", Lookup(0x00070002u));
    EXPECT_EQ("", Lookup(0x00070005u));
}

#ifdef _WIN32
// The wide lookup carried as UTF-8 gives the English texts byte for byte as
// the ANSI one did, for every named value.
TEST(LookupMessage, WideTextsAsUtf8AreTheAnsiTexts)
{
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS;
    size_t cursor = 0, compared = 0;
    uint32_t v;
    while (NextNamedValue(&cursor, &v)) {
        LPSTR ansi = NULL;
        DWORD n = FormatMessageA(flags, NULL, v, 0, (LPSTR)&ansi, 0, NULL);
        std::string a = n > 0 && ansi != NULL ? std::string(ansi, n) : "";
        if (ansi != NULL)
            LocalFree(ansi);
        bool ascii = true;
        for (unsigned char c : a)
            ascii &= c < 0x80;
        if (!ascii)
            continue;
        ASSERT_EQ(a, Lookup(v)) << std::hex << v;
        compared += !a.empty();
    }
    EXPECT_GT(compared, 100u);
}

TEST(HostText, WideToUtf8InEveryScript)
{
    // CJK, Greek, and an emoji that needs a surrogate pair.
    const wchar_t wide[] = L"\u65e5\u672c \u0395\u03bb \U0001F600!";
    size_t len = 0;
    char* utf8 = HostUtf8FromWide(wide, (int)wcslen(wide), &len);
    ASSERT_NE(nullptr, utf8);
    EXPECT_EQ("\xe6\x97\xa5\xe6\x9c\xac \xce\x95\xce\xbb \xf0\x9f\x98\x80!",
              std::string(utf8, len));
    EXPECT_EQ(strlen(utf8), len);
    free(utf8);

    wchar_t a0[] = L"whatcode", a1[] = L"\u00e4", a2[] = L"";
    wchar_t* argv[] = {a0, a1, a2, nullptr};
    char** args = HostUtf8Args(3, argv);
    ASSERT_NE(nullptr, args);
    EXPECT_STREQ("whatcode", args[0]);
    EXPECT_STREQ("\xc3\xa4", args[1]);
    EXPECT_STREQ("", args[2]);
    EXPECT_EQ(nullptr, args[3]);
}
#endif

}  // namespace
