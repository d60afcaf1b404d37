#include "conf/preview.h"

#include <wx/fontenum.h>
#include <wx/richtext/richtextbuffer.h>
#include <wx/richtext/richtextctrl.h>

const wxColour previewNoteColour(20, 200, 100);
const wxColour previewChangeBackground(255, 244, 220);
const wxColour previewSettingColour(255, 0, 0);

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

wxRichTextAttr PreviewAttributes(PreviewStyle style)
{
    wxRichTextAttr attributes;
    wxArrayInt tabs;
    for (int stop = 150; stop <= 1350; stop += 150)
        tabs.Add(stop);
    attributes.SetTabs(tabs);
    if (style != PreviewStyle::plain) {
        attributes.SetBackgroundColour(previewChangeBackground);
        attributes.SetTextColour(style == PreviewStyle::note ? previewNoteColour : previewSettingColour);
    }
    return attributes;
}

void FillPreviewBuffer(wxRichTextBuffer& buffer, const std::vector<PreviewLine>& lines)
{
    buffer.ResetAndClearCommands();
    buffer.DeleteChildren();
    const wxRichTextAttr paragraph = PreviewAttributes(PreviewStyle::plain);
    wxRichTextAttr characters[3];
    for (PreviewStyle style : {PreviewStyle::plain, PreviewStyle::note, PreviewStyle::setting}) {
        characters[static_cast<int>(style)] = PreviewAttributes(style);
        characters[static_cast<int>(style)].SetTabs(wxArrayInt());
        characters[static_cast<int>(style)].SetFlags(characters[static_cast<int>(style)].GetFlags() &
                                                     ~wxTEXT_ATTR_TABS);
    }
    for (const PreviewLine& line : lines) {
        wxRichTextAttr paragraphAttributes(paragraph);
        wxRichTextAttr charAttributes(characters[static_cast<int>(line.style)]);
        buffer.AppendChild(new wxRichTextParagraph(line.text, &buffer, &paragraphAttributes, &charAttributes));
    }
    if (lines.empty())
        buffer.AppendChild(new wxRichTextParagraph(wxString(), &buffer));
    buffer.UpdateRanges();
    buffer.Invalidate(wxRICHTEXT_ALL);
}

wxFont PreviewFont()
{
    const wxString wanted = wxT("Lucida Console");
    if (wxFontEnumerator::IsValidFacename(wanted))
        return wxFont(10, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL, false, wanted);
    return wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE));
}

void LayOutPreview(wxRichTextCtrl& view)
{
    view.LayoutContent();
    view.SetInsertionPoint(0);
}
