// A one-line field with a browse button that picks a configuration file; no drop-down.
#pragma once

#include <wx/combo.h>

// Sent up to the parent once a choice is confirmed in the browse dialog, after the three
// strings hold it.
wxDECLARE_EVENT(pelloranEVT_FILE_CHOSEN, wxCommandEvent);
#define EVT_FILE_CHOSEN(id, handler) \
    wx__DECLARE_EVT1(pelloranEVT_FILE_CHOSEN, id, wxCommandEventHandler(handler))

class FileSelectorCombo : public wxComboCtrl
{
public:
    FileSelectorCombo(wxWindow* parent, wxWindowID id, const wxString& value, const wxPoint& pos,
                      const wxSize& size, long style, const wxValidator& validator = wxDefaultValidator,
                      const wxString& name = wxT("comboBox"));

    // The last choice confirmed in the browse dialog; empty until there is one. Text typed
    // into the field does not count.
    wxString GetFileName() const { return fileName; }
    wxString GetDirectory() const { return directory; }
    wxString GetPath() const { return path; }

    // The browse button: a file-open dialog for *.conf files, starting at the typed text.
    void OnButtonClick() override;

    // The one filter the browse dialog offers.
    static const wxChar fileFilter[];

protected:
    // The control never has a popup.
    void DoSetPopupControl(wxComboPopup*) override {}

private:
    wxString fileName;
    wxString directory;
    wxString path;
};
