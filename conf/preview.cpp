#include "conf/preview.h"

void AppendPreviewLines(const MergedLine& record, const wxString& stamp, std::vector<PreviewLine>& out)
{
    if (!IsShownAsChange(record)) {
        out.push_back({record.text, PreviewStyle::plain});
        return;
    }
    std::vector<wxString> notes;
    AppendNoteLines(record, stamp, notes);
    for (const wxString& note : notes)
        out.push_back({note, PreviewStyle::note});
    // Block markers are only recognised on records without a previous value, as a setting
    // line could read like one.
    const bool marker = record.previousValue.empty() && IsBlockMarker(record.text);
    out.push_back({record.text, marker ? PreviewStyle::note : PreviewStyle::setting});
}
