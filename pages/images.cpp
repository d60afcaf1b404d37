#include "pages/images.h"

#include "pages/page_image.xpm"
#include "pages/side_image.xpm"

#include <wx/gbsizer.h>
#include <wx/statbmp.h>

wxBitmap CreateSideImage()
{
    return wxBitmap(side_image_xpm);
}

wxBitmap LoadPageImage()
{
    return wxBitmap(page_image_xpm);
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
