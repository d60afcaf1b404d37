// Opening the folder of an installation's file without following links, shared by the access
// test and the safe replace on POSIX systems.
#pragma once

#include "installations/regular_file.h"

#include <wx/string.h>

#include <string>

// Opens the folder that holds `path` (O_DIRECTORY, never through a symbolic link: whoever may
// write the folder above could otherwise send the file's use elsewhere) and gives the file's
// name in it. -1 with the reason to show when the folder cannot be taken.
int OpenFolderOf(const std::string& path, std::string& name, wxString& reason);
