// Configuration file text: bytes to lines and back, with no file access.
#pragma once

#include <wx/string.h>

#include <string>
#include <vector>

// Decodes a configuration file's bytes into lines. The encoding comes from a byte-order
// mark (UTF-8, UTF-16 LE/BE, UTF-32 LE/BE), UTF-8 otherwise, and further marks right after
// it are dropped as well; lines end at LF, CR LF or CR,
// and a final terminator does not start another line. Anything that does not decode
// cleanly, a NUL character included, is refused with a reason rather than guessed at:
// a file read wrongly would be written back damaged.
bool DecodeConfText(const std::string& bytes, std::vector<wxString>& lines, wxString& reason);

// Appends one line as UTF-8 followed by CR LF, the form every written file takes.
void AppendConfLine(std::string& bytes, const wxString& line);
