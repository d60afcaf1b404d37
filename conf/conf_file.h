// Reading a configuration file whole, and replacing a file so that it is either the old or
// the new content, never a mix, never missing.
#pragma once

#include "installations/file_security.h"

#include <wx/string.h>

#include <functional>
#include <string>
#include <vector>

enum class ConfRead { read, missing, failed };

// Reads and decodes the file (see DecodeConfText). `missing` only when nothing is at the
// path; a link, anything but a regular file, a file beyond the bound of a configuration file,
// and one that cannot be opened, read or decoded are `failed` with the reason.
ConfRead ReadConfFile(const wxString& path, std::vector<wxString>& lines, wxString& reason);

// Gives the temporary file, held open, its rights before it takes the target's place; false
// (with a reason) abandons the replace.
using PrepareReplacement = std::function<bool(NativeFile temporary, wxString& reason)>;

// Writes the bytes to a temporary file in the target's folder (mode and owner of the target,
// or the usual mode for a new file), checks and syncs every byte, lets `prepare` give it
// its rights, renames it over the target and syncs the folder. Nothing is followed: a
// target, or a folder, that is a symbolic link (a reparse point on Windows) is refused, as
// is a target that is not a regular file. On any failure before the rename the target is
// left as it was and the temporary file removed; `reason` says what failed.
bool ReplaceFileContent(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare,
                        wxString& reason);

// The same, for a file that must not exist yet: it appears whole, with its rights, or not at
// all, and whatever is at the name (a file, a link) is refused and left alone.
bool CreateFileContent(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare,
                       wxString& reason);
