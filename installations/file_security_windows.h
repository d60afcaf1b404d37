// What the safe replace on Windows shares with the access test.
#pragma once

#include <wx/string.h>

#include <windows.h>

// Whether the open file (opened with FILE_FLAG_OPEN_REPARSE_POINT) is a link or junction.
// Only those: other reparse points (deduplicated or cloud files) hold the file's own content.
bool IsLinkOrJunction(HANDLE file);

// Why an open file (opened with FILE_FLAG_OPEN_REPARSE_POINT, so that a link is opened
// itself) cannot be taken as a configuration file: a link or junction, a folder or anything
// but a file on disk. Empty when it can.
wxString RefusalOfOpenFile(HANDLE file);
