// A file's access rights as this platform keeps them, read from one file and written onto
// another, and the access tests that decide whether a file may be rewritten. Each platform
// has its own implementation file; what the rights hold is its business.
#pragma once

#include <wx/string.h>

#include <memory>

class FileSecurity
{
public:
    virtual ~FileSecurity() = default;
};

// The rights of the file at `path`; null when they cannot be read.
std::unique_ptr<FileSecurity> ReadFileSecurity(const wxString& path);

// Gives the file the rights; true only when every part of them took.
bool WriteFileSecurity(const wxString& path, const FileSecurity& rights);

// Whether this process may write / read the file, as an open for that would be judged.
bool MayWriteFile(const wxString& path);
bool MayReadFile(const wxString& path);
