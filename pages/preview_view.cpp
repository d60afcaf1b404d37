#include "pages/preview_view.h"

#include <wx/dcmemory.h>
#include <wx/fontenum.h>
#include <wx/richtext/richtextbuffer.h>
#include <wx/richtext/richtextctrl.h>

#include <chrono>

PreviewLayoutFigures previewLayoutFigures;

const wxColour previewNoteColour(20, 200, 100);
const wxColour previewChangeBackground(255, 244, 220);
const wxColour previewSettingColour(255, 0, 0);

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

namespace {

// Measures text for the layout on an off-screen bitmap. Measuring through the window's own
// device context costs round trips to the display for every paragraph; the bitmap's
// context measures the same font in process.
// A size event that does not change the size (showing the dialog sends them) would throw
// the whole layout away and make it again; only a real change does that here.
class PreviewView : public wxRichTextCtrl
{
public:
    using wxRichTextCtrl::wxRichTextCtrl;

protected:
    void DoLayoutBuffer(wxRichTextBuffer& buffer, wxDC& dc, wxRichTextDrawingContext& context, const wxRect& rect,
                        const wxRect& parentRect, int flags) override
    {
        const auto start = std::chrono::steady_clock::now();
        if (!measureBitmap.IsOk())
            measureBitmap.Create(8, 8);
        wxMemoryDC measure(measureBitmap);
        measure.SetFont(dc.GetFont());
        double x, y;
        dc.GetUserScale(&x, &y);
        measure.SetUserScale(x, y);
        wxRichTextCtrl::DoLayoutBuffer(buffer, measure, context, rect, parentRect, flags);
        if (!(flags & wxRICHTEXT_LAYOUT_SPECIFIED_RECT)) {
            laidOutSize = GetClientSize();
            ++previewLayoutFigures.fullLayouts;
        }
        previewLayoutFigures.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    void OnSize(wxSizeEvent& event)
    {
        if (laidOutSize != wxDefaultSize && GetClientSize() == laidOutSize)
            return;
        wxRichTextCtrl::OnSize(event);
    }

    wxBitmap measureBitmap;
    wxSize laidOutSize = wxDefaultSize;

    wxDECLARE_EVENT_TABLE();
};

wxBEGIN_EVENT_TABLE(PreviewView, wxRichTextCtrl)
    EVT_SIZE(PreviewView::OnSize)
wxEND_EVENT_TABLE()

} // namespace

wxRichTextCtrl* CreatePreviewView(wxWindow* dialog)
{
    auto* view = new PreviewView(dialog, wxID_ANY, wxString(), wxDefaultPosition, dialog->GetClientSize(),
                                    wxVSCROLL | wxHSCROLL | wxBORDER_NONE | wxWANTS_CHARS | wxTE_MULTILINE |
                                        wxTE_READONLY,
                                    wxDefaultValidator, wxT("text"));
    view->BeginSuppressUndo();
    view->SetFont(PreviewFont());
    return view;
}

void LayOutPreview(wxRichTextCtrl& view)
{
    view.LayoutContent();
    view.SetInsertionPoint(0);
}
