// Text and its bytes: decoding that says where it failed, UTF-8 and UTF-16 encoding, and
// cutting text into lines. Every reader and writer of text files and registry data uses it.
#pragma once

#include <wx/string.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum class TextEncoding { utf8, utf16le, utf16be, utf32le, utf32be };

// The encoding that a byte-order mark at the start of `bytes` names, and the mark's length;
// false, both untouched, when they start with none. UTF-32 LE starts like UTF-16 LE: the
// longer mark wins.
bool ReadByteOrderMark(std::string_view bytes, TextEncoding& encoding, std::size_t& markLength);

// Whether a NUL character is text: a configuration file holding one was not written as text,
// while registry data keeps it.
enum class NulCharacter { refused, kept };

struct TextDecodeError
{
    std::size_t offset = 0; // of the first byte that is not text, from the start of the bytes
    wxString reason;        // for people, naming the offset
};

// Appends the text of `bytes` from `start` on to `text`. Anything that is not text (a
// malformed sequence, part of a character at the end, a refused NUL) is refused rather than
// guessed at: false, with `error` saying what and where, and `text` holding what came before.
bool DecodeText(std::string_view bytes, std::size_t start, TextEncoding encoding, NulCharacter nul, wxString& text,
                TextDecodeError& error);

// UTF-16 as the registry stores it, which need not be well formed: each broken surrogate
// becomes U+FFFD and an odd last byte is left out, so that a value is always readable.
wxString DecodeUtf16Replacing(std::string_view bytes, bool bigEndian);

// Eight-bit text, each byte the character of the same number.
wxString DecodeLatin1(std::string_view bytes);

// Appends the encoded text. A character that has no encoding (a lone surrogate, or beyond
// U+10FFFF) is written as U+FFFD, so that what is written always reads back.
void AppendUtf8(std::string& bytes, const wxString& text);
void AppendUtf16Le(std::vector<unsigned char>& bytes, const wxString& text);

// The lines of `text`, which end at LF, CR LF or CR. Empty lines are kept; a final line end
// does not start another line.
std::vector<wxString> SplitLines(const wxString& text);
