// A configuration file's bytes to lines and back, on every platform: where wchar_t has 16
// bits, a character beyond U+FFFF is two units and must still be read and written whole.
#include "conf/conf_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Utf8(const std::vector<wxString>& lines)
{
    std::vector<std::string> out;
    for (const wxString& line : lines)
        out.push_back(line.utf8_string());
    return out;
}

} // namespace

TEST(ConfTextTest, DecodesByteOrderMarksAndLineEnds)
{
    struct Case {
        const char* description;
        std::string bytes;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"UTF-8 without mark, LF", "a = 1\nb = 2\n", {"a = 1", "b = 2"}},
        {"no final line end", "a\nb", {"a", "b"}},
        {"CR LF, lone CR and LF mixed; empty lines kept", "a\r\nb\rc\n\nd\r\n", {"a", "b", "c", "", "d"}},
        {"UTF-8 mark is dropped", "\xEF\xBB\xBF" "caf\xC3\xA9\n", {"caf\xC3\xA9"}},
        {"UTF-16 LE", std::string("\xFF\xFE" "a\0=\0\xE9\0\r\0\n\0b\0", 14), {"a=\xC3\xA9", "b"}},
        {"UTF-16 BE with a surrogate pair", std::string("\xFE\xFF\0x\xD8\x3D\xDE\x00", 8), {"x\xF0\x9F\x98\x80"}},
        {"UTF-32 LE (not taken for UTF-16)", std::string("\xFF\xFE\0\0x\0\0\0\n\0\0\0", 12), {"x"}},
        {"UTF-32 BE", std::string("\0\0\xFE\xFF\0\0\0y", 8), {"y"}},
        {"empty file", "", {}},
        {"mark only", "\xEF\xBB\xBF", {}},
        {"two UTF-8 marks: both dropped", "\xEF\xBB\xBF\xEF\xBB\xBF" "a\n", {"a"}},
        {"UTF-16 LE with a second mark", std::string("\xFF\xFE\xFF\xFE" "a\0", 6), {"a"}},
        {"a mark after the first character is text", "a\xEF\xBB\xBF\n\xEF\xBB\xBF" "b",
         {"a\xEF\xBB\xBF", "\xEF\xBB\xBF" "b"}},
    };
    for (const Case& c : cases) {
        std::vector<wxString> lines;
        wxString reason;
        EXPECT_TRUE(DecodeConfText(c.bytes, lines, reason)) << c.description << ": " << reason.utf8_string();
        EXPECT_EQ(Utf8(lines), c.lines) << c.description;
    }
}

TEST(ConfTextTest, RefusesWhatDoesNotDecode)
{
    struct Case {
        const char* description;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"a Latin-1 byte", "ok\ncaf\xE9\n", "It is not UTF-8 text (at byte 6)."},
        {"an overlong form", "\xC0\xAF", "It is not UTF-8 text (at byte 0)."},
        {"an encoded surrogate", "a\xED\xA0\x80", "It is not UTF-8 text (at byte 1)."},
        {"a cut sequence at the end", "ab\xE2\x82", "It is not UTF-8 text (at byte 2)."},
        {"a NUL byte", std::string("a\0b", 3), "It holds a NUL character (at byte 1)."},
        {"odd UTF-16", std::string("\xFF\xFE" "a\0b", 5), "Its UTF-16 text ends in half a character (at byte 4)."},
        {"lone UTF-16 surrogate", std::string("\xFF\xFE\x00\xDC", 4),
         "Its UTF-16 text holds a broken surrogate pair (at byte 2)."},
        {"UTF-32 out of range", std::string("\0\0\xFE\xFF\0\x11\0\0", 8),
         "Its UTF-32 text holds an invalid character (at byte 4)."},
    };
    for (const Case& c : cases) {
        std::vector<wxString> lines;
        wxString reason;
        EXPECT_FALSE(DecodeConfText(c.bytes, lines, reason)) << c.description;
        EXPECT_EQ(reason.utf8_string(), c.reason) << c.description;
        EXPECT_TRUE(lines.empty()) << c.description << ": no partial result";
    }
}

TEST(ConfTextTest, WritesUtf8WithCrLf)
{
    std::string bytes;
    AppendConfLine(bytes, wxString::FromUTF8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    AppendConfLine(bytes, wxString());
    EXPECT_EQ(bytes, "caf\xC3\xA9 \xF0\x9F\x98\x80\r\n\r\n");
}
