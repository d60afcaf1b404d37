#include "installations/text_codec.h"

#include <wx/intl.h>

namespace {

const char32_t replacementCharacter = 0xFFFD;

bool IsSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsHighSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char32_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

char32_t FromSurrogates(char32_t high, char32_t low)
{
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// wxUniChar writes a character beyond U+FFFF as a surrogate pair where wchar_t has 16 bits.
void AppendCharacter(wxString& text, char32_t c)
{
    text += wxUniChar(static_cast<wxUint32>(c));
}

bool Fail(TextDecodeError& error, std::size_t offset, const wxString& what)
{
    error.offset = offset;
    error.reason = what + wxString::Format(wxT(" (at byte %zu)."), offset);
    return false;
}

// Whether `c` is a NUL that is not taken for text; `error` then says where it is.
bool RefusedNul(char32_t c, NulCharacter nul, std::size_t offset, TextDecodeError& error)
{
    if (c != 0 || nul == NulCharacter::kept)
        return false;
    Fail(error, offset, _("It holds a NUL character"));
    return true;
}

// How many continuation bytes follow `lead`; -1 when no character starts with it.
int ContinuationBytes(unsigned char lead)
{
    if (lead < 0x80)
        return 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 1;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 2;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 3;
    return -1;
}

bool DecodeUtf8(std::string_view bytes, std::size_t start, NulCharacter nul, wxString& text, TextDecodeError& error)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = start;
    while (i < size) {
        const std::size_t at = i;
        const unsigned char lead = data[i++];
        const int more = ContinuationBytes(lead);
        if (more < 0)
            return Fail(error, at, _("It is not UTF-8 text"));
        static const unsigned char leadBits[] = {0x7F, 0x1F, 0x0F, 0x07};
        // The shortest form only: a longer one could hide a character from a check of the bytes.
        static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        char32_t c = lead & leadBits[more];
        for (int k = 0; k < more; ++k) {
            if (i >= size || (data[i] & 0xC0) != 0x80)
                return Fail(error, at, _("It is not UTF-8 text"));
            c = (c << 6) | (data[i++] & 0x3F);
        }
        if (c < minimum[more] || c > 0x10FFFF || IsSurrogate(c))
            return Fail(error, at, _("It is not UTF-8 text"));
        if (RefusedNul(c, nul, at, error))
            return false;
        AppendCharacter(text, c);
    }
    return true;
}

// The one reading of UTF-16: strict when `error` is given, else replacing what is broken.
bool DecodeUtf16(std::string_view bytes, std::size_t start, bool bigEndian, NulCharacter nul, wxString& text,
                 TextDecodeError* error)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (error && (size - start) % 2 != 0)
        return Fail(*error, size - 1, _("Its UTF-16 text ends in half a character"));
    const std::size_t end = start + (size - start) / 2 * 2;
    auto unit = [&](std::size_t at) -> char32_t {
        return bigEndian ? (data[at] << 8 | data[at + 1]) : (data[at + 1] << 8 | data[at]);
    };
    for (std::size_t i = start; i < end; i += 2) {
        const std::size_t at = i;
        char32_t c = unit(i);
        if (IsHighSurrogate(c) && i + 2 < end && IsLowSurrogate(unit(i + 2))) {
            i += 2;
            c = FromSurrogates(c, unit(i));
        } else if (IsSurrogate(c)) {
            if (error)
                return Fail(*error, at, _("Its UTF-16 text holds a broken surrogate pair"));
            c = replacementCharacter;
        }
        if (error && RefusedNul(c, nul, at, *error))
            return false;
        AppendCharacter(text, c);
    }
    return true;
}

bool DecodeUtf32(std::string_view bytes, std::size_t start, bool bigEndian, NulCharacter nul, wxString& text,
                 TextDecodeError& error)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if ((size - start) % 4 != 0)
        return Fail(error, size - (size - start) % 4, _("Its UTF-32 text ends in part of a character"));
    for (std::size_t i = start; i < size; i += 4) {
        const char32_t c = bigEndian
            ? (char32_t(data[i]) << 24 | char32_t(data[i + 1]) << 16 | char32_t(data[i + 2]) << 8 | data[i + 3])
            : (char32_t(data[i + 3]) << 24 | char32_t(data[i + 2]) << 16 | char32_t(data[i + 1]) << 8 | data[i]);
        if (c > 0x10FFFF || IsSurrogate(c))
            return Fail(error, i, _("Its UTF-32 text holds an invalid character"));
        if (RefusedNul(c, nul, i, error))
            return false;
        AppendCharacter(text, c);
    }
    return true;
}

// Calls `put` with each character of `text`, pairs of surrogates (as a 16-bit wchar_t holds
// characters beyond U+FFFF) joined and what cannot be encoded replaced.
template <typename Put>
void ForEachCharacter(const wxString& text, Put put)
{
    const wchar_t* units = text.wc_str();
    const std::size_t length = text.length();
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(units[i]);
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(static_cast<char32_t>(units[i + 1])))
            c = FromSurrogates(c, static_cast<char32_t>(units[++i]));
        else if (c > 0x10FFFF || IsSurrogate(c))
            c = replacementCharacter;
        put(c);
    }
}

bool StartsWith(std::string_view bytes, std::string_view prefix)
{
    return bytes.substr(0, prefix.size()) == prefix;
}

} // namespace

bool ReadByteOrderMark(std::string_view bytes, TextEncoding& encoding, std::size_t& markLength)
{
    using namespace std::string_view_literals;
    static const struct {
        std::string_view mark;
        TextEncoding encoding;
    } marks[] = {
        {"\xFF\xFE\x00\x00"sv, TextEncoding::utf32le}, {"\x00\x00\xFE\xFF"sv, TextEncoding::utf32be},
        {"\xFF\xFE"sv, TextEncoding::utf16le},         {"\xFE\xFF"sv, TextEncoding::utf16be},
        {"\xEF\xBB\xBF"sv, TextEncoding::utf8},
    };
    for (const auto& entry : marks) {
        if (StartsWith(bytes, entry.mark)) {
            encoding = entry.encoding;
            markLength = entry.mark.size();
            return true;
        }
    }
    return false;
}

bool DecodeText(std::string_view bytes, std::size_t start, TextEncoding encoding, NulCharacter nul, wxString& text,
                TextDecodeError& error)
{
    switch (encoding) {
    case TextEncoding::utf8:
        return DecodeUtf8(bytes, start, nul, text, error);
    case TextEncoding::utf16le:
    case TextEncoding::utf16be:
        return DecodeUtf16(bytes, start, encoding == TextEncoding::utf16be, nul, text, &error);
    case TextEncoding::utf32le:
    case TextEncoding::utf32be:
        return DecodeUtf32(bytes, start, encoding == TextEncoding::utf32be, nul, text, error);
    }
    return false;
}

wxString DecodeUtf16Replacing(std::string_view bytes, bool bigEndian)
{
    wxString text;
    text.reserve(bytes.size() / 2);
    DecodeUtf16(bytes, 0, bigEndian, NulCharacter::kept, text, nullptr);
    return text;
}

wxString DecodeLatin1(std::string_view bytes)
{
    wxString text;
    text.reserve(bytes.size());
    for (const char byte : bytes)
        AppendCharacter(text, static_cast<unsigned char>(byte));
    return text;
}

void AppendUtf8(std::string& bytes, const wxString& text)
{
    ForEachCharacter(text, [&bytes](char32_t c) {
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
    });
}

void AppendUtf16Le(std::vector<unsigned char>& bytes, const wxString& text)
{
    auto put = [&bytes](char32_t unit) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    };
    ForEachCharacter(text, [&put](char32_t c) {
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    });
}

std::vector<wxString> SplitLines(const wxString& text)
{
    std::vector<wxString> lines;
    const wxString::const_iterator end = text.end();
    wxString::const_iterator lineStart = text.begin();
    for (wxString::const_iterator it = text.begin(); it != end; ++it) {
        const wxUniChar c = *it;
        if (c != wxT('\r') && c != wxT('\n'))
            continue;
        lines.emplace_back(lineStart, it);
        if (c == wxT('\r') && it + 1 != end && *(it + 1) == wxT('\n'))
            ++it;
        lineStart = it + 1;
    }
    if (lineStart != end)
        lines.emplace_back(lineStart, end);
    return lines;
}
