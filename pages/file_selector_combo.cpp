#include "pages/file_selector_combo.h"

#include "pages/text_measure.h"

#include <wx/brush.h>
#include <wx/dcmemory.h>
#include <wx/filedlg.h>
#include <wx/pen.h>

wxDEFINE_EVENT(pelloranEVT_FILE_CHOSEN, wxCommandEvent);

const wxChar FileSelectorCombo::fileFilter[] = wxT("Conf files (*.conf)|*.conf");

namespace {

// "..." centred on magenta, which the mask makes transparent.
wxBitmap MakeBrowseBitmap()
{
    wxBitmap bitmap(12, 16);
    {
        wxMemoryDC dc(bitmap);
        UseWindowTextSettings(dc);
        const wxColour background(255, 0, 255);
        dc.SetBrush(wxBrush(background));
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.DrawRectangle(0, 0, bitmap.GetWidth(), bitmap.GetHeight());
        const wxString dots = wxT("...");
        const wxSize extent = dc.GetTextExtent(dots);
        dc.DrawText(dots, (bitmap.GetWidth() - extent.x) / 2, (bitmap.GetHeight() - extent.y) / 2);
    }
    bitmap.SetMask(new wxMask(bitmap, wxColour(255, 0, 255)));
    return bitmap;
}

} // namespace

FileSelectorCombo::FileSelectorCombo(wxWindow* parent, wxWindowID id, const wxString& value, const wxPoint& pos,
                                     const wxSize& size, long style, const wxValidator& validator,
                                     const wxString& name)
    : wxComboCtrl(parent, id, value, pos, size, style | wxCC_STD_BUTTON, validator, name)
{
    SetButtonBitmaps(MakeBrowseBitmap(), true);
}

void FileSelectorCombo::OnButtonClick()
{
    wxFileDialog dialog(this, _("Choose File"), wxEmptyString, GetValue(), fileFilter, wxFD_OPEN,
                        wxDefaultPosition, wxDefaultSize, wxT("filedlg"));
    if (dialog.ShowModal() != wxID_OK)
        return;
    SetValue(dialog.GetPath());
    fileName = dialog.GetFilename();
    directory = dialog.GetDirectory();
    path = dialog.GetPath();
    wxCommandEvent chosen(pelloranEVT_FILE_CHOSEN, GetId());
    chosen.SetEventObject(this);
    chosen.SetString(path);
    ProcessWindowEvent(chosen);
}
