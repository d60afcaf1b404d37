// The modal dialog in which the user views and changes the HTTP proxy settings.
#pragma once

#include <wx/dialog.h>

class wxTextCtrl;

class ProxyDialog : public wxDialog
{
public:
    // Opens with the stored settings in its two fields.
    ProxyDialog(wxWindow* parent, const wxString& title);

    // OK: checks the fields, saves both and ends the modal run with wxOK; on a refused
    // check the dialog stays open with the focus on the field to mend.
    void OnOK(wxCommandEvent& event);
    // Cancel: ends the modal run with wxCANCEL; nothing is saved.
    void OnCancel(wxCommandEvent& event);

    wxTextCtrl* hostField = nullptr;
    wxTextCtrl* portField = nullptr;

private:
    wxDECLARE_EVENT_TABLE();
};
