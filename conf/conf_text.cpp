#include "conf/conf_text.h"

#include "installations/text_codec.h"

bool DecodeConfText(const std::string& bytes, std::vector<wxString>& lines, wxString& reason)
{
    lines.clear();
    TextEncoding encoding = TextEncoding::utf8;
    std::size_t markLength = 0;
    ReadByteOrderMark(bytes, encoding, markLength);
    wxString text;
    TextDecodeError error;
    if (!DecodeText(bytes, markLength, encoding, NulCharacter::refused, text, error)) {
        reason = error.reason;
        return false;
    }
    // A mark repeated after the first (tools that add one in front of another) is no text
    // either: kept, it would be written as the first bytes of the file, and read back as a
    // mark, so the backup would never read back as the lines it was written from.
    std::size_t marks = 0;
    while (marks < text.length() && text[marks] == wxUniChar(0xFEFF))
        ++marks;
    text.erase(0, marks);
    lines = SplitLines(text);
    return true;
}

void AppendConfLine(std::string& bytes, const wxString& line)
{
    AppendUtf8(bytes, line);
    bytes += "\r\n";
}
