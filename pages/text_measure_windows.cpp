#include "pages/text_measure.h"

#include <wx/dcclient.h>

// Every drawing context draws text with the system's settings already.
void UseWindowTextSettings(wxDC&)
{
}

// The window's own drawing context measures as the window draws.
struct TextMeasure::Native
{
    explicit Native(wxWindow* window) : context(window) {}
    wxClientDC context;
};

TextMeasure::TextMeasure(wxWindow* window)
    : native(new Native(window))
{
}

TextMeasure::~TextMeasure() = default;

void TextMeasure::SetFont(const wxFont& font)
{
    native->context.SetFont(font);
}

void TextMeasure::PartialExtents(const wxString& text, wxArrayInt& extents) const
{
    native->context.GetPartialTextExtents(text, extents);
}
