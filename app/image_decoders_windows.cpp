#include "app/image_decoders.h"

std::thread PrepareImageDecoders()
{
    return std::thread(); // the native controls draw without loading a decoder
}
