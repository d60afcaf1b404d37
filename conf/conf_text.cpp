#include "conf/conf_text.h"

#include <wx/intl.h>

#include <cstdint>

namespace {

enum class Encoding { utf8, utf16le, utf16be, utf32le, utf32be };

bool StartsWith(const std::string& bytes, const char* prefix, std::size_t length)
{
    return bytes.size() >= length && bytes.compare(0, length, prefix, length) == 0;
}

// Cuts the decoded characters into lines at LF, CR LF and CR.
class LineSplitter
{
public:
    explicit LineSplitter(std::vector<wxString>& lines) : lines(lines) {}

    void Add(char32_t c)
    {
        // A mark repeated after the first (tools that add one in front of another) is no text
        // either: kept, it would be written as the first bytes of the file, and read back as a
        // mark, so the backup would never read back as the lines it was written from.
        if (atStart && c == 0xFEFF)
            return;
        atStart = false;
        if (afterCr) {
            afterCr = false;
            if (c == U'\n')
                return;
        }
        if (c == U'\r' || c == U'\n') {
            EndLine();
            afterCr = c == U'\r';
            return;
        }
        current.push_back(static_cast<wchar_t>(c));
    }

    void Finish()
    {
        if (!current.empty())
            EndLine();
    }

private:
    void EndLine()
    {
        lines.emplace_back(current);
        current.clear();
    }

    std::vector<wxString>& lines;
    std::wstring current;
    bool atStart = true;
    bool afterCr = false;
};

wxString AtByte(std::size_t offset)
{
    return wxString::Format(wxT(" (at byte %zu)."), offset);
}

bool DecodeUtf8(const std::string& bytes, std::size_t start, LineSplitter& out, wxString& reason)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = start;
    while (i < size) {
        const std::size_t at = i;
        const unsigned char lead = data[i++];
        char32_t c;
        int more;
        char32_t minimum;
        if (lead < 0x80) {
            c = lead;
            more = 0;
            minimum = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1F;
            more = 1;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0F;
            more = 2;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07;
            more = 3;
            minimum = 0x10000;
        } else {
            reason = _("It is not UTF-8 text") + AtByte(at);
            return false;
        }
        for (int k = 0; k < more; ++k) {
            if (i >= size || (data[i] & 0xC0) != 0x80) {
                reason = _("It is not UTF-8 text") + AtByte(at);
                return false;
            }
            c = (c << 6) | (data[i++] & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            reason = _("It is not UTF-8 text") + AtByte(at);
            return false;
        }
        if (c == 0) {
            reason = _("It holds a NUL character") + AtByte(at);
            return false;
        }
        out.Add(c);
    }
    return true;
}

bool DecodeUtf16(const std::string& bytes, bool bigEndian, LineSplitter& out, wxString& reason)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size % 2 != 0) {
        reason = _("Its UTF-16 text ends in half a character") + AtByte(size - 1);
        return false;
    }
    auto unit = [&](std::size_t at) -> char32_t {
        return bigEndian ? (data[at] << 8 | data[at + 1]) : (data[at + 1] << 8 | data[at]);
    };
    for (std::size_t i = 2; i < size; i += 2) {
        const std::size_t at = i;
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 2 >= size || unit(i + 2) < 0xDC00 || unit(i + 2) > 0xDFFF) {
                reason = _("Its UTF-16 text holds a broken surrogate pair") + AtByte(at);
                return false;
            }
            i += 2;
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i) - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            reason = _("Its UTF-16 text holds a broken surrogate pair") + AtByte(at);
            return false;
        }
        if (c == 0) {
            reason = _("It holds a NUL character") + AtByte(at);
            return false;
        }
        out.Add(c);
    }
    return true;
}

bool DecodeUtf32(const std::string& bytes, bool bigEndian, LineSplitter& out, wxString& reason)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size % 4 != 0) {
        reason = _("Its UTF-32 text ends in part of a character") + AtByte(size - size % 4);
        return false;
    }
    for (std::size_t i = 4; i < size; i += 4) {
        const char32_t c = bigEndian
            ? (char32_t(data[i]) << 24 | char32_t(data[i + 1]) << 16 | char32_t(data[i + 2]) << 8 | data[i + 3])
            : (char32_t(data[i + 3]) << 24 | char32_t(data[i + 2]) << 16 | char32_t(data[i + 1]) << 8 | data[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            reason = _("Its UTF-32 text holds an invalid character") + AtByte(i);
            return false;
        }
        if (c == 0) {
            reason = _("It holds a NUL character") + AtByte(i);
            return false;
        }
        out.Add(c);
    }
    return true;
}

} // namespace

bool DecodeConfText(const std::string& bytes, std::vector<wxString>& lines, wxString& reason)
{
    lines.clear();
    LineSplitter splitter(lines);
    bool decoded;
    // UTF-32 LE starts like UTF-16 LE: test the longer mark first.
    if (StartsWith(bytes, "\xFF\xFE\x00\x00", 4))
        decoded = DecodeUtf32(bytes, false, splitter, reason);
    else if (StartsWith(bytes, "\x00\x00\xFE\xFF", 4))
        decoded = DecodeUtf32(bytes, true, splitter, reason);
    else if (StartsWith(bytes, "\xFF\xFE", 2))
        decoded = DecodeUtf16(bytes, false, splitter, reason);
    else if (StartsWith(bytes, "\xFE\xFF", 2))
        decoded = DecodeUtf16(bytes, true, splitter, reason);
    else if (StartsWith(bytes, "\xEF\xBB\xBF", 3))
        decoded = DecodeUtf8(bytes, 3, splitter, reason);
    else
        decoded = DecodeUtf8(bytes, 0, splitter, reason);
    if (!decoded) {
        lines.clear();
        return false;
    }
    splitter.Finish();
    return true;
}

void AppendConfLine(std::string& bytes, const wxString& line)
{
    const wchar_t* text = line.wc_str();
    const std::size_t length = line.length();
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (c >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (c >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (c >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    bytes += "\r\n";
}
