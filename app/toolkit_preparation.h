// What the toolkit loads on the way to the first window, started early so that it runs
// meanwhile on threads of its own.
#pragma once

#include <thread>

// Starts reading the system's font configuration. The first text measured waits until it is
// read; started before the toolkit opens the display, the reading is done by then. Call it on
// the thread that makes the windows.
void StartFontConfiguration();

// The image decoders that building the first window needs. On GTK, measuring the first radio
// button loads the SVG decoder that the theme's indicators are drawn with: a large library,
// loaded on the way to the first window otherwise. A thread that returns once the decoders are
// loaded; not joinable where nothing is to load.
std::thread PrepareImageDecoders();
