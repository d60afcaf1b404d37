// Reading a configuration file whole, and replacing a file so that it is either the old or
// the new content, never a mix, never missing.
#pragma once

#include <wx/string.h>

#include <functional>
#include <string>
#include <vector>

enum class ConfRead { read, missing, failed };

// Reads and decodes the file (see DecodeConfText). `missing` only when nothing is at the
// path; a link, anything but a regular file, a file beyond the bound of a configuration file,
// and one that cannot be opened, read or decoded are `failed` with the reason.
ConfRead ReadConfFile(const wxString& path, std::vector<wxString>& lines, wxString& reason);

// Gives the temporary file its rights before it takes the target's place; false (with a
// reason) abandons the replace.
using PrepareReplacement = std::function<bool(const wxString& temporaryPath, wxString& reason)>;

// Writes the bytes to a temporary file in the target's folder (mode and owner of the target,
// or the usual mode for a new file), checks and syncs every byte, lets `prepare` give it
// its rights, renames it over the target and syncs the folder. A symbolic link is followed
// and the file it names replaced. On any failure before the rename the target is left as it
// was and the temporary file removed; `reason` says what failed.
bool ReplaceFileContent(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare,
                        wxString& reason);
