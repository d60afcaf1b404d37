#include "pages/text_measure.h"

#include <gtk/gtk.h>
#include <wx/dc.h>
#include <wx/fontutil.h>
#include <wx/graphics.h>
#include <wx/window.h>

void UseWindowTextSettings(wxDC& dc)
{
    const cairo_font_options_t* windowSettings = gdk_screen_get_font_options(gdk_screen_get_default());
    wxGraphicsContext* context = dc.GetGraphicsContext();
    if (windowSettings != nullptr && context != nullptr)
        cairo_set_font_options(static_cast<cairo_t*>(context->GetNativeContext()), windowSettings);
}

// One text layout of the window's own, so that texts are measured with the font settings
// they are drawn with. The toolkit's drawing contexts measure with the screen's settings
// instead: each new font in them costs a font match of its own, on threads of its own.
struct TextMeasure::Native
{
    PangoLayout* layout;
};

TextMeasure::TextMeasure(wxWindow* window)
    : native(new Native{gtk_widget_create_pango_layout(window->GetHandle(), nullptr)})
{
}

TextMeasure::~TextMeasure()
{
    g_object_unref(native->layout);
}

void TextMeasure::SetFont(const wxFont& font)
{
    pango_layout_set_font_description(native->layout, font.GetNativeFontInfo()->description);
}

void TextMeasure::PartialExtents(const wxString& text, wxArrayInt& extents) const
{
    // As the toolkit's own partial extents: the width up to each character, rounded only
    // at the end, so that the sum of rounded widths does not drift.
    extents.Empty();
    const wxCharBuffer bytes = text.utf8_str();
    int width = 0;
    if (bytes.length() > 0) {
        pango_layout_set_text(native->layout, bytes, static_cast<int>(bytes.length()));
        PangoLayoutIter* cluster = pango_layout_get_iter(native->layout);
        do {
            PangoRectangle logical;
            pango_layout_iter_get_cluster_extents(cluster, nullptr, &logical);
            width += logical.width;
            extents.Add(PANGO_PIXELS(width));
        } while (pango_layout_iter_next_cluster(cluster));
        pango_layout_iter_free(cluster);
    }
    // A cluster of several characters gives one width; the last width stands for the rest.
    while (extents.size() < text.length())
        extents.Add(PANGO_PIXELS(width));
}
