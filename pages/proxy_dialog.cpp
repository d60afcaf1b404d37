#include "pages/proxy_dialog.h"

#include "pages/proxy_input.h"
#include "pages/proxy_settings.h"

#include <wx/log.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

wxBEGIN_EVENT_TABLE(ProxyDialog, wxDialog)
    EVT_BUTTON(wxID_OK, ProxyDialog::OnOK)
    EVT_BUTTON(wxID_CANCEL, ProxyDialog::OnCancel)
wxEND_EVENT_TABLE()

ProxyDialog::ProxyDialog(wxWindow* parent, const wxString& title)
    : wxDialog(parent, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE, wxT("dialog"))
{
    wxString host, port;
    ReadProxySettings(host, port);

    auto* topSizer = new wxBoxSizer(wxVERTICAL);
    auto* grid = new wxFlexGridSizer(2, 4, 5, 5);
    grid->Add(new wxStaticText(this, wxID_ANY, _("HTTP proxy"), wxDefaultPosition, wxDefaultSize, 0,
                               wxT("staticText")),
              0, wxALIGN_CENTER_VERTICAL, 0);
    hostField = new wxTextCtrl(this, wxID_ANY, host, wxDefaultPosition, wxSize(200, -1), 0, wxDefaultValidator,
                               wxT("text"));
    grid->Add(hostField, 0, wxALIGN_CENTER_VERTICAL, 0);
    grid->Add(new wxStaticText(this, wxID_ANY, _("Port"), wxDefaultPosition, wxDefaultSize, 0, wxT("staticText")),
              0, wxALIGN_CENTER_VERTICAL, 0);
    portField = new wxTextCtrl(this, wxID_ANY, port, wxDefaultPosition, wxSize(40, -1), 0, wxDefaultValidator,
                               wxT("text"));
    // 40 pixels, or more where the field's frame would otherwise cut off a five-digit port.
    // Before the field is shown the toolkit underrates its frame: allow one digit more.
    const int portWidth = portField->GetSizeFromTextSize(portField->GetTextExtent(wxT("65535")).x).x +
                          portField->GetTextExtent(wxT("0")).x;
    if (portWidth > 40)
        portField->SetMinSize(wxSize(portWidth, -1));
    grid->Add(portField, 0, wxALIGN_CENTER_VERTICAL, 0);
    topSizer->Add(grid, 0, wxALL, 10);
    topSizer->Add(CreateButtonSizer(wxOK | wxCANCEL), 0, wxALL | wxALIGN_RIGHT, 5);
    SetSizer(topSizer);
    topSizer->Fit(this);
}

void ProxyDialog::OnOK(wxCommandEvent&)
{
    const wxString host = hostField->GetValue();
    const wxString port = portField->GetValue();
    switch (CheckProxyInput(host, port)) {
    case ProxyInputProblem::invalidPort:
        wxLogError(wxT("%s"), _("Invalid HTTP port specified."));
        portField->SetFocus();
        return;
    case ProxyInputProblem::unpaired:
        wxLogError(wxT("%s"), _("Both the proxy server and port must be specified."));
        hostField->SetFocus();
        return;
    case ProxyInputProblem::none:
        break;
    }
    // A failed save has been reported by the store; the dialog closes all the same.
    WriteProxySettings(host, port);
    EndModal(wxOK);
}

void ProxyDialog::OnCancel(wxCommandEvent&)
{
    EndModal(wxCANCEL);
}
