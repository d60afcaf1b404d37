// How wide a text's leading characters are when a window draws them.
#pragma once

#include <wx/dynarray.h>
#include <wx/font.h>
#include <wx/string.h>

#include <memory>

class wxDC;
class wxWindow;

// Makes the text that `dc` draws use the font settings that windows draw their text with,
// and so the fonts they have loaded already.
void UseWindowTextSettings(wxDC& dc);

class TextMeasure
{
public:
    // Measures as `window` draws text: with its display's font settings, in the font set here.
    explicit TextMeasure(wxWindow* window);
    ~TextMeasure();

    void SetFont(const wxFont& font);

    // extents[i] is the width in pixels of the text's first i + 1 characters.
    void PartialExtents(const wxString& text, wxArrayInt& extents) const;

private:
    struct Native;
    std::unique_ptr<Native> native;
};
