#include "app/toolkit_preparation.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pango/pangocairo.h>

void StartFontConfiguration()
{
    // The thread's first font map starts the reading on a thread of its own; the toolkit
    // later takes the same font map.
    pango_cairo_font_map_get_default();
}

std::thread PrepareImageDecoders()
{
    // The decoders are GdkPixbuf's, which may be used from any thread: decoding a tiny image
    // loads the decoder, and the theme's own icons later find it loaded.
    return std::thread([] {
        static const char image[] = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1\" height=\"1\"/>";
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("svg", nullptr);
        if (loader == nullptr)
            return; // no SVG decoder installed: the theme draws without one
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(image), sizeof image - 1, nullptr);
        gdk_pixbuf_loader_close(loader, nullptr);
        g_object_unref(loader);
    });
}
