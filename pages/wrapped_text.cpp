#include "pages/wrapped_text.h"

#include <wx/arrstr.h>
#include <wx/stattext.h>

#include <algorithm>

namespace {

// Where the line that `rest` starts ends: the length of its text, or npos when the whole of
// `rest` fits. Measures a piece of `rest` that ends after a blank rather than all of it, as
// the toolkit does: measuring costs by the character, and a paragraph would be measured
// again from each line on. A glyph's width can depend on the glyph after it, so only
// widths before the piece's last character count, and the piece grows when the width is
// not crossed before it.
size_t LineEnd(const TextMeasure& measure, const wxString& rest, int width, size_t guess)
{
    for (;;) {
        const size_t blank = rest.find(wxT(' '), guess);
        const size_t pieceLength = blank == wxString::npos ? rest.length() : blank + 1;
        wxArrayInt extents;
        measure.PartialExtents(rest.substr(0, pieceLength), extents);
        const size_t crossing = std::lower_bound(extents.begin(), extents.end(), width) - extents.begin();
        if (pieceLength == rest.length()) {
            if (crossing == rest.length())
                return wxString::npos;
        } else if (crossing + 1 >= pieceLength) {
            guess = 2 * pieceLength;
            continue;
        }
        // A line ends at the last blank before the crossing; without one the line is whole.
        return rest.rfind(wxT(' '), crossing);
    }
}

} // namespace

wxString BreakLines(const TextMeasure& measure, const wxString& text, int width)
{
    wxString broken;
    const wxArrayString paragraphs = wxSplit(text, wxT('\n'), wxT('\0'));
    for (size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0)
            broken += wxT('\n');
        wxString rest = paragraphs[i];
        // Glyphs are rarely narrower than 4 pixels; later lines start from the last one's length.
        size_t guess = std::max(width / 4, 1);
        for (bool firstLine = true; !rest.empty(); firstLine = false) {
            if (!firstLine)
                broken += wxT('\n');
            const size_t end = LineEnd(measure, rest, width, guess);
            if (end == wxString::npos) {
                broken += rest;
                break;
            }
            broken += rest.substr(0, end);
            rest = rest.substr(end + 1);
            guess = end + end / 4 + 8;
        }
    }
    return broken;
}

WrappedTexts::WrappedTexts(wxWindow* page)
    : page(page), textFont(wxStaticText::GetClassDefaultAttributes().font), measure(page)
{
}

wxStaticText* WrappedTexts::Add(const wxString& text, int width, TextWeight weight)
{
    wxFont font = textFont;
    if (weight == TextWeight::Title)
        font.SetPointSize(13);
    if (weight != TextWeight::Normal)
        font.SetWeight(wxFONTWEIGHT_BOLD);
    // Created empty and given its lines last: the text is then measured once, not once on
    // creation, once when placed and once more for a font of its own.
    auto* label = new wxStaticText(page, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                                   wxT("staticText"));
    if (weight != TextWeight::Normal)
        label->SetFont(font);
    measure.SetFont(font);
    label->SetLabel(BreakLines(measure, text, width));
    return label;
}

void SetWrappedText(wxStaticText* label, const wxString& text, int width)
{
    TextMeasure measure(label);
    measure.SetFont(label->GetFont());
    label->SetLabel(BreakLines(measure, text, width));
}
