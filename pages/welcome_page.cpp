#include "pages/welcome_page.h"

#include "pages/images.h"

#include <wx/combobox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

wxBEGIN_EVENT_TABLE(WelcomePage, wxWizardPageSimple)
    EVT_WIZARD_PAGE_CHANGING(wxID_ANY, WelcomePage::OnPageChanging)
wxEND_EVENT_TABLE()

WelcomePage::WelcomePage(wxWizard* parent)
    : wxWizardPageSimple(parent)
{
    SetBackgroundColour(*wxWHITE);
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(0, 10);
    auto* title = new wxStaticText(this, wxID_ANY, _("Welcome to the Norvane Pelloran"), wxDefaultPosition,
                                   wxDefaultSize, 0, wxT("staticText"));
    wxFont titleFont = title->GetFont();
    titleFont.SetPointSize(13);
    titleFont.SetWeight(wxFONTWEIGHT_BOLD);
    title->SetFont(titleFont);
    title->Wrap(400);
    pageSizer->Add(title, 0, wxALL | wxALIGN_CENTER_HORIZONTAL, 10);

    installationList = new wxComboBox(this, 1003, wxEmptyString, wxDefaultPosition, wxSize(300, 25), 0, nullptr,
                                      wxCB_DROPDOWN | wxCB_READONLY, wxDefaultValidator, wxT("comboBox"));
    installationList->Hide();

    pageSizer->AddStretchSpacer(1);
    AddPageImageRow(this, pageSizer, wxSize(20, 5));
    SetSizer(pageSizer);
    pageSizer->Fit(this);
}

void WelcomePage::OnPageChanging(wxWizardEvent&)
{
}
