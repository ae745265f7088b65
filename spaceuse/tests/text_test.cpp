#include <gtest/gtest.h>

#include <string.h>

#include "export.h"
#include "text.h"
#include "treemap.h"
#include "widetext.h"

static std::string Grouped(uint64_t value)
{
    char buf[GROUPED_BUF_SIZE];
    memset(buf, 'X', sizeof(buf));
    return FormatGrouped(value, ' ', 3, buf);
}

TEST(FormatGrouped, SeparatesThousandsOnlyBetweenDigits)
{
    EXPECT_EQ("0", Grouped(0));
    EXPECT_EQ("7", Grouped(7));
    EXPECT_EQ("999", Grouped(999));
    EXPECT_EQ("1 000", Grouped(1000));
    EXPECT_EQ("65 536", Grouped(65536));
    EXPECT_EQ("100 000", Grouped(100000));
    EXPECT_EQ("2 146 762 752", Grouped(2146762752ULL));
}

TEST(FormatGrouped, LargestValueFillsTheBufferExactly)
{
    char buf[GROUPED_BUF_SIZE + 8];
    memset(buf, 'X', sizeof(buf));
    FormatGrouped(UINT64_MAX, ' ', 3, buf);
    EXPECT_STREQ("18 446 744 073 709 551 615", buf);
    EXPECT_EQ(26u, strlen(buf));
    EXPECT_EQ('X', buf[GROUPED_BUF_SIZE]);  // nothing written past the 28 bytes
}

TEST(FormatGrouped, OtherSeparatorsAndGroupsStayWithinTheBuffer)
{
    char buf[GROUPED_BUF_SIZE + 8];
    EXPECT_STREQ("12,345", FormatGrouped(12345, ',', 3, buf));
    EXPECT_STREQ("1.23.45", FormatGrouped(12345, '.', 2, buf));
    // Group size 1 would need 39 bytes for the largest value: the text is
    // cut short instead of running past the buffer.
    memset(buf, 'X', sizeof(buf));
    FormatGrouped(UINT64_MAX, ' ', 1, buf);
    EXPECT_LT(strlen(buf), (size_t)GROUPED_BUF_SIZE);
    EXPECT_EQ('X', buf[GROUPED_BUF_SIZE]);
}

TEST(MatchPattern, ResultCodes)
{
    struct Case {
        const char* pattern;
        const char* name;
        int result;
    };
    const Case cases[] = {
        {"*.gif", "a.gif", MATCH_OK},
        {"*.gif", "a.GIF", MATCH_PATTERN_LEFT},
        {"*.*", "README", MATCH_PATTERN_LEFT},
        {"*.*", "a.b", MATCH_OK},
        {"a*", "a", MATCH_OK},
        {"a**", "a", MATCH_PATTERN_LEFT},
        {"a**", "ab", MATCH_OK},
        {"**", "anything.at.all", MATCH_OK},
        {"?*", "x", MATCH_OK},
        {"?*", "", MATCH_PATTERN_LEFT},
        {"a?c", "abc", MATCH_OK},
        {"a?c", "ac", MATCH_PATTERN_LEFT},
        {"abc", "abcd", MATCH_NAME_LEFT},
        {"abd", "abc", MATCH_CHAR},
        {"abc", "abc", MATCH_OK},
        {"", "", MATCH_OK},
        {"", "a", MATCH_NAME_LEFT},
        {"*a*", "bab", MATCH_OK},
        {"a*b", "aXbYb", MATCH_OK},
        {"a*b", "aXbY", MATCH_PATTERN_LEFT},
        {"zorvitt?.htm*", "zorvitt1.html", MATCH_OK},
        {"zorvitt?.htm*", "zorvitt1.htm", MATCH_OK},
        {"zorvitt?.htm*", "zorvitt.htm", MATCH_CHAR},
        {"*?", "", MATCH_PATTERN_LEFT},
        {"*.c", ".profile.c", MATCH_OK},
        {"*a", "aaab", MATCH_PATTERN_LEFT},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, MatchPattern(c.pattern, c.name))
            << "pattern '" << c.pattern << "' name '" << c.name << "'";
}

TEST(MatchPattern, BacktracksPastEarlyLiteralMatches)
{
    // The first '.' is not the one the rest of the pattern needs.
    EXPECT_EQ(MATCH_OK, MatchPattern("*.tar.gz", "x.y.tar.gz"));
    EXPECT_EQ(MATCH_OK, MatchPattern("*ab", "aab"));
    EXPECT_NE(MATCH_OK, MatchPattern("*.tar.gz", "x.tar.gzip"));
    // A long name under many stars ends without running away.
    std::string name(255, 'a');
    EXPECT_NE(MATCH_OK, MatchPattern("*a*a*a*a*a*b", name.c_str()));
    EXPECT_EQ(MATCH_OK, MatchPattern("*a*a*a*a*a*", name.c_str()));
}

TEST(UpperName, AsciiAndTheThreeNordicLetters)
{
    char name[] = "spaceuse-2.0_x";
    EXPECT_EQ(name, UpperName(name));
    EXPECT_STREQ("SPACEUSE-2.0_X", name);

    char nordic[] = "\xE4\xE5\xF6\xE9\xFC@[`{";
    UpperName(nordic);
    EXPECT_STREQ("\xC4\xC5\xD6\xE9\xFC@[`{", nordic);

    char empty[] = "";
    EXPECT_STREQ("", UpperName(empty));

    // In UTF-8 the same three letters are upper-cased, and no other
    // character loses a byte to them: 0xE4 and 0xE5 begin CJK characters.
    char utf8[] = "su\xC3\xA4\xC3\xA5\xC3\xB6-\xE4\xB8\xAD\xE5\xAD\x97-\xC3\xA9\xF0\x9F\x98\x80";
    UpperName(utf8);
    EXPECT_STREQ("SU\xC3\x84\xC3\x85\xC3\x96-\xE4\xB8\xAD\xE5\xAD\x97-\xC3\xA9\xF0\x9F\x98\x80", utf8);
}

// ---- UTF-8 and UTF-16 ---------------------------------------------------------

// The units as the literals of the tests give them, in WideChar (wchar_t
// on Windows).
typedef std::basic_string<WideChar> WideString;

static WideString Units(const std::u16string& s)
{
    return WideString(s.begin(), s.end());
}

static WideString ToWide(const std::string& s)
{
    WideString w(s.size() + 1, 0);
    size_t n = WideFromUtf8(s.data(), s.size(), &w[0], w.size());
    EXPECT_LT(n, w.size());
    w.resize(n);
    return w;
}

static std::string ToUtf8(const WideString& w)
{
    std::string s(3 * w.size() + 1, '\0');
    size_t n = Utf8FromWide(w.data(), w.size(), &s[0], s.size());
    EXPECT_LT(n, s.size());
    s.resize(n);
    return s;
}

TEST(WideText, EveryScriptAndLoneSurrogatesGoBothWays)
{
    EXPECT_EQ(Units(u"ascii \u65E5\u672C\u8A9E \u0395\u03BB \u041A\u0438 \U0001F600"),
              ToWide("ascii \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xCE\x95\xCE\xBB "
                     "\xD0\x9A\xD0\xB8 \xF0\x9F\x98\x80"));
    const char16_t units[] = {u'a', 0x00E9, 0x07FF, 0x0800, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF,
                              0xD800, u'x', 0xDC00, 0xDC00, 0xD800};
    WideString odd = Units(std::u16string(units, sizeof units / sizeof units[0]));
    std::string text = ToUtf8(odd);
    EXPECT_EQ("a\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"
              "\xED\xA0\x80x\xED\xB0\x80\xED\xB0\x80\xED\xA0\x80",
              text);
    EXPECT_EQ(odd, ToWide(text));
}

TEST(WideText, BadBytesAndShortBuffers)
{
    // A stray trail byte, an overlong form, a cut sequence, a byte that
    // begins nothing, a value past U+10FFFF: one U+FFFD per byte given up.
    EXPECT_EQ(Units(u"\uFFFDa\uFFFD\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"),
              ToWide("\x80" "a\xC0\xAF" "b\xE6\x97" "c\xFF\xF4\x90\x80\x80"));
    EXPECT_EQ(Units(u"\uFFFD\uFFFD\uFFFD"), ToWide("\xF0\x9F\x98"));

    // The length is told whatever the room; nothing is written past it.
    const char* text = "\xF0\x9F\x98\x80z";
    WideChar w[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(3u, WideFromUtf8(text, strlen(text), NULL, 0));
    EXPECT_EQ(3u, WideFromUtf8(text, strlen(text), w, 3));
    EXPECT_EQ('#', w[3]);
    EXPECT_EQ(3u, WideFromUtf8(text, strlen(text), w, 4));
    EXPECT_EQ(Units(u"\U0001F600z"), WideString(w));
    char s[6];
    memset(s, '#', sizeof s);
    EXPECT_EQ(5u, Utf8FromWide(w, 3, s, 5));
    EXPECT_EQ('#', s[5]);
    EXPECT_EQ(5u, Utf8FromWide(w, 3, s, 6));
    EXPECT_STREQ(text, s);
}

TEST(ShownName, ControlCharactersEscapedEverythingElseKept)
{
    char buf[SHOWN_NAME_SIZE];
    const char* plain = "caf\xC3\xA9 \\ \"x\"";
    EXPECT_EQ(plain, ShownName(plain, buf, sizeof buf));  // untouched, not copied
    EXPECT_STREQ("a\\nb\\tc\\015\\001\\177\xFF",
                 ShownName("a\nb\tc\r\x01\x7F\xFF", buf, sizeof buf));
    // Every byte escaped still fits; a smaller buffer cuts whole escapes.
    std::string worst(512, '\x1F');
    EXPECT_EQ(4u * 512, strlen(ShownName(worst.c_str(), buf, sizeof buf)));
    char small[7];
    EXPECT_STREQ("x\\001", ShownName("x\x01\x02", small, sizeof small));
}

// The export's names: JSON escapes for what JSON needs, every other byte
// as the file system gave it.
TEST(ExportQuote, JsonEscapesAndRawBytes)
{
    char buf[EXPORT_NAME_SIZE];
    EXPECT_EQ(2u, ExportQuote("", buf, sizeof buf));
    EXPECT_STREQ("\"\"", buf);
    ExportQuote("a\"b\\c\n\t\r\b\f\x01\x1f\x7f\xff\xc3\xa9/", buf, sizeof buf);
    EXPECT_STREQ("\"a\\\"b\\\\c\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\xff\xc3\xa9/\"", buf);
    // The longest name escaped whole; a short buffer cuts between escapes
    // and still closes the string.
    std::string worst(1023, '\x01');
    EXPECT_EQ(2 + 6 * 1023u, ExportQuote(worst.c_str(), buf, sizeof buf));
    char small[10];
    EXPECT_EQ(8u, ExportQuote("\x01\x01", small, sizeof small));
    EXPECT_STREQ("\"\\u0001\"", small);
}

// The treemap's text: nothing of a name can end the text or begin markup,
// and nothing but well-formed UTF-8 that XML allows reaches the file.
TEST(TreemapXmlText, EscapedReplacedAndShown)
{
    char buf[256];
    TreemapXmlText("<script>alert('x') & \"y\"</script>", buf, sizeof buf);
    EXPECT_STREQ("&lt;script&gt;alert(&apos;x&apos;) &amp; &quot;y&quot;&lt;/script&gt;", buf);
    // Control characters as the report shows them; é and U+10FFFF kept.
    TreemapXmlText("a\nb\x01 \xc3\xa9 \xf4\x8f\xbf\xbf", buf, sizeof buf);
    EXPECT_STREQ("a\\nb\\001 \xc3\xa9 \xf4\x8f\xbf\xbf", buf);
    // A stray byte, a cut sequence, an overlong form, a surrogate, U+FFFE,
    // past U+10FFFF: each offending byte becomes U+FFFD.
    const char* bad[] = {"\xff",         "\xc3",         "\xc0\xaf",
                         "\xed\xa0\x80", "\xef\xbf\xbe", "\xf4\x90\x80\x80"};
    for (const char* b : bad) {
        TreemapXmlText(b, buf, sizeof buf);
        std::string got = buf;
        EXPECT_EQ(0u, got.find("\xef\xbf\xbd")) << b;
        for (size_t i = 0; i < got.size(); i += 3)
            EXPECT_EQ("\xef\xbf\xbd", got.substr(i, 3)) << b;
    }
    char small[6];
    EXPECT_EQ(4u, TreemapXmlText("<<", small, sizeof small));
    EXPECT_STREQ("&lt;", small);
}
