// How this platform joins a folder and a file name. The one place that knows the separator.
#pragma once

#include <wx/string.h>

// "/" here; the backslash on Windows.
extern const wxChar pathSeparator;

// Folder, separator, name; the separator is not doubled when the folder already ends with one.
wxString JoinPath(const wxString& directory, const wxString& name);
