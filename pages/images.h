// The program's two pictures, built in from PNG data (side_image.png, page_image.png).
#pragma once

#include <wx/bitmap.h>
#include <wx/gdicmn.h>

class wxSizer;
class wxWindow;

// 160 x 310, shown at the left of every page.
wxBitmap CreateSideImage();

// 100 x 100, a database drum with a gear wheel, shown at the bottom right of every page.
wxBitmap LoadPageImage();

// The bottom row every page ends with: a grid-bag sizer of the given minimum size holding
// the page image at row 0, column 32, aligned right (an empty box if the image did not load).
void AddPageImageRow(wxWindow* page, wxSizer* pageSizer, const wxSize& minimumSize);
