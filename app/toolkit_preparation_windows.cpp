#include "app/toolkit_preparation.h"

void StartFontConfiguration()
{
    // The system has its fonts ready; nothing is read at start.
}

std::thread PrepareImageDecoders()
{
    return std::thread(); // the native controls draw without loading a decoder
}
