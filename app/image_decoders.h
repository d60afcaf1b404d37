// The toolkit's image decoders that building the first window needs, made ready on a thread of
// their own while the window is built. On GTK, measuring the first radio button loads the SVG
// decoder that the theme's indicators are drawn with: a large library, loaded on the way to
// the first window otherwise.
#pragma once

#include <thread>

// A thread that returns once the decoders are loaded; not joinable where nothing is to load.
std::thread PrepareImageDecoders();
