// Static texts broken into lines at a width, by the rules of the toolkit's Wrap(): a line
// ends at the last blank before the width (the blank is dropped), a word wider than the
// width keeps its line, and the text's own line ends stay.
#pragma once

#include "pages/text_measure.h"

#include <wx/font.h>
#include <wx/string.h>

class wxStaticText;
class wxWindow;

// `text` broken at `width` pixels as measured in `measure`'s font.
wxString BreakLines(const TextMeasure& measure, const wxString& text, int width);

enum class TextWeight { Normal, Bold, Title };

// The wrapped static texts of one page, broken as the page draws text. Each text gets its
// final lines before it is measured: the toolkit measures a label again whenever its text
// changes, and the unbroken paragraph that Wrap() starts from is the costliest to measure.
class WrappedTexts
{
public:
    explicit WrappedTexts(wxWindow* page);

    // A static text named "staticText" showing `text` broken at `width`, in the static
    // texts' font, made bold, or 13 points and bold for a page title.
    wxStaticText* Add(const wxString& text, int width, TextWeight weight = TextWeight::Normal);

private:
    wxWindow* page;
    // Asked once: the toolkit builds a throw-away label each time a static text's font is asked.
    wxFont textFont;
    TextMeasure measure;
};

// Gives `label` the text broken at `width` in its font, as Wrap() would after setting it.
void SetWrappedText(wxStaticText* label, const wxString& text, int width);
