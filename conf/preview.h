// The coloured preview of a merge: which line gets which colours. The window that shows
// them lives with the pages.
#pragma once

#include "conf/merge_engine.h"

#include <wx/string.h>

#include <vector>

enum class PreviewStyle { plain, note, setting };

struct PreviewLine
{
    wxString text;
    PreviewStyle style = PreviewStyle::plain;
};

// The lines one record shows, the same lines the save writes for it, each with its colours.
void AppendPreviewLines(const MergedLine& record, const wxString& stamp, std::vector<PreviewLine>& out);
