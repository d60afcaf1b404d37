// The change from one text to another as a unified diff, the form administrators read and
// `patch` applies.
#pragma once

#include <wx/string.h>

#include <vector>

// The hunks (with `context` unchanged lines around each change) under "--- oldName" and
// "+++ newName"; nothing when the texts are the same. Lines come without their ends.
std::vector<wxString> UnifiedDiff(const std::vector<wxString>& oldLines, const std::vector<wxString>& newLines,
                                  const wxString& oldName, const wxString& newName, int context = 3);
