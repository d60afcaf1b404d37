#include "pages/images.h"

#include "page_image_png.h"
#include "side_image_png.h"

#include <wx/gbsizer.h>
#include <wx/imagpng.h>
#include <wx/mstream.h>
#include <wx/statbmp.h>

namespace {

// Decoded by the PNG handler itself, so that nothing depends on which handlers the
// application has registered.
wxBitmap DecodePng(const unsigned char* data, size_t size)
{
    wxMemoryInputStream stream(data, size);
    wxPNGHandler handler;
    wxImage image;
    if (!handler.LoadFile(&image, stream, false))
        return wxBitmap();
    return wxBitmap(image);
}

} // namespace

wxBitmap CreateSideImage()
{
    return DecodePng(side_image_png, sizeof side_image_png);
}

wxBitmap LoadPageImage()
{
    return DecodePng(page_image_png, sizeof page_image_png);
}

void AddPageImageRow(wxWindow* page, wxSizer* pageSizer, const wxSize& minimumSize)
{
    auto* grid = new wxGridBagSizer(0, 0);
    grid->SetMinSize(minimumSize);
    auto* imageBox = new wxBoxSizer(wxVERTICAL);
    grid->Add(imageBox, wxGBPosition(0, 32), wxGBSpan(3, 1), wxALIGN_RIGHT, 0);
    const wxBitmap image = LoadPageImage();
    if (image.IsOk())
        imageBox->Add(new wxStaticBitmap(page, wxID_ANY, image, wxDefaultPosition, wxDefaultSize, 0,
                                         wxT("staticBitmap")),
                      0, wxALL, 0);
    pageSizer->Add(grid, 0, 0, 0);
}
