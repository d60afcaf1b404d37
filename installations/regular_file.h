// Reading a file whose path or content another account may control: never waiting on a pipe
// or a device, never following a link at the last step, never holding more than a bound.
#pragma once

#include <wx/string.h>

#include <cstddef>
#include <string>

// No real configuration file comes near this; /dev/zero and sparse files go far beyond it.
const std::size_t configurationFileLimit = 4u << 20;

enum class FileRead { read, missing, failed };

// Why a file opened without following links is not used; every such opening says the same.
wxString SymbolicLinkRefusal();
wxString NotRegularRefusal();

// At most `count` bytes of the regular file at `path`, from its start. `missing` only when
// nothing is at the path; a link, anything but a regular file, or a failed read is `failed`
// with a reason for the user (the caller names the file). Posix and Windows have their own files.
FileRead ReadAtMost(const wxString& path, std::size_t count, std::string& bytes, wxString& reason);

// The first `count` bytes, as ReadAtMost; `more` tells whether bytes follow.
FileRead ReadFileStart(const wxString& path, std::size_t count, std::string& bytes, bool& more, wxString& reason);

// The whole regular file; one larger than `limit` bytes is `failed` with a reason naming the limit.
FileRead ReadRegularFile(const wxString& path, std::size_t limit, std::string& bytes, wxString& reason);
