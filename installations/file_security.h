// A file's access rights as this platform keeps them, read from one file and written onto
// another, and the access tests that decide whether a file may be rewritten. Each platform
// has its own implementation file; what the rights hold is its business.
//
// Rights are read and given through a file held open, never by name: the folders of an
// installation may be writable by another account, which could put a link (or on Windows a
// reparse point) at a name between a check and a use.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <memory>

class FileSecurity
{
public:
    virtual ~FileSecurity() = default;
};

// A file this process holds open: a descriptor, or a HANDLE on Windows.
using NativeFile = std::intptr_t;

enum class FileOpen { opened, missing, refused };

// A regular file opened to read and give its rights, never through a link: a symbolic link
// (a reparse point on Windows) or anything but a regular file is refused with the reason to
// show; the reason is empty when only rights are missing, which running as an administrator
// would mend. Closed when it goes.
class SecuredFile
{
public:
    SecuredFile() = default;
    ~SecuredFile();
    SecuredFile(const SecuredFile&) = delete;
    SecuredFile& operator=(const SecuredFile&) = delete;

    FileOpen Open(const wxString& path, wxString& refusal);
    NativeFile Get() const { return file; }

private:
    NativeFile file = -1; // also INVALID_HANDLE_VALUE
};

// The rights of the open file; null when they cannot be read.
std::unique_ptr<FileSecurity> ReadFileSecurity(NativeFile file);

// Gives the open file the rights; true only when every part of them took.
bool WriteFileSecurity(NativeFile file, const FileSecurity& rights);

// Whether the rights could be given back to the file they were read from, which only its
// owner or an administrator may do; the file keeps the rights it has.
bool MayRestoreFileSecurity(NativeFile file, const FileSecurity& rights);

// Whether this process may write / read the file, as an open for that would be judged.
bool MayWriteFile(const wxString& path);
bool MayReadFile(const wxString& path);
